#include "capture.h"

#include <capture/format_catalogue.h>
#include <host/ks_client.h>
#include <host/ks_pnp.h>
#include <sim/mode.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace m4350::cap {

namespace {

constexpr size_t kWriterQueue = 8; // frames waiting for the writer, per channel
constexpr uint32_t kBuffers = 6;   // what the pin asks for
constexpr ULONG kStreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
// A gap longer than this between two pictures is not filled: ten seconds of
// the fastest rate, far beyond what a full bus drops.
constexpr uint32_t kMaxFill = 300;

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

template <typename T>
NTSTATUS PropertyRequest(HANDLE handle, const GUID& set, ULONG id, ULONG flags, T* data) {
    data->Property.Set = set;
    data->Property.Id = id;
    data->Property.Flags = flags;
    ULONG returned = 0;
    return host::ks::DeviceIoControl(handle, IOCTL_KS_PROPERTY, data, sizeof *data, data,
                                     sizeof *data, &returned);
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + t.tv_nsec / 1e9;
}

// The filter of one channel of one board: the boards' interfaces appear in
// the order the boards were added.
NTSTATUS OpenChannelFilter(uint32_t board, uint32_t channel, HANDLE* filter) {
    const std::wstring reference = L"\\m4350av_chan" + std::to_wstring(channel + 1);
    std::vector<std::wstring> devices;
    for (const std::wstring& link : host::ks::EnumerateFilters(KSCATEGORY_VIDEO)) {
        if (link.size() < reference.size() ||
            link.compare(link.size() - reference.size(), reference.size(), reference) != 0)
            continue;
        devices.push_back(link);
    }
    if (board >= devices.size())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return host::ks::OpenFilter(devices[board].c_str(), filter);
}

} // namespace

bool QueryChannelFormats(uint32_t board, uint32_t channel, std::vector<OfferedFormat>* offered,
                         std::string* error) {
    HANDLE filter = nullptr;
    NTSTATUS status = OpenChannelFilter(board, channel, &filter);
    if (NT_SUCCESS(status)) {
        status = QueryOfferedFormats(filter, 0, offered);
        host::ks::CloseHandle(filter);
    }
    if (!NT_SUCCESS(status))
        *error = "board " + std::to_string(board + 1) + " channel " + std::to_string(channel + 1) +
                 ": cannot read its formats (" + Hex(status) + ")";
    return NT_SUCCESS(status);
}

std::vector<OfferedFormat> CatalogueFormats(bool pal) {
    std::vector<OfferedFormat> formats;
    for (PKSDATARANGE range : (pal ? PalRangeList : NtscRangeList).Ranges) {
        OfferedFormat f;
        if (range->FormatSize >= sizeof(KS_DATARANGE_VIDEO) &&
            OfferedFromRange(*reinterpret_cast<const KS_DATARANGE_VIDEO*>(range), &f))
            formats.push_back(f);
    }
    return formats;
}

ChannelCapture::ChannelCapture(tools::BoardRig& rig, ChannelSetup setup)
    : rig_(rig), setup_(std::move(setup)) {}

ChannelCapture::~ChannelCapture() {
    Stop();
    if (filter_)
        host::ks::CloseHandle(filter_);
}

std::string ChannelCapture::Name() const {
    std::string name = "ch" + std::to_string(setup_.channel + 1);
    return setup_.board ? "b" + std::to_string(setup_.board + 1) + "-" + name : name;
}

bool ChannelCapture::Open(std::string* error) {
    const std::string who = "board " + std::to_string(setup_.board + 1) + " channel " +
                            std::to_string(setup_.channel + 1);
    NTSTATUS status = OpenChannelFilter(setup_.board, setup_.channel, &filter_);
    if (!NT_SUCCESS(status)) {
        filter_ = nullptr;
        *error = who + ": cannot open its filter (" + Hex(status) + ")";
        return false;
    }
    if (setup_.pal &&
        !ChangeSetting(PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD,
                       "the video standard",
                       *setup_.pal ? KS_AnalogVideo_PAL_B : KS_AnalogVideo_NTSC_M, error))
        return false;
    struct Setting {
        const std::optional<int32_t>& value;
        ULONG id;
        const char* name;
    };
    const PictureOptions& p = setup_.picture;
    const Setting settings[] = {
        {p.brightness, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, "brightness"},
        {p.contrast, KSPROPERTY_VIDEOPROCAMP_CONTRAST, "contrast"},
        {p.hue, KSPROPERTY_VIDEOPROCAMP_HUE, "hue"},
        {p.saturation, KSPROPERTY_VIDEOPROCAMP_SATURATION, "saturation"},
        {p.color, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, "colour"},
    };
    for (const Setting& s : settings)
        if (s.value && !ChangeSetting(PROPSETID_VIDCAP_VIDEOPROCAMP, s.id, s.name, *s.value, error))
            return false;
    std::vector<OfferedFormat> offered;
    status = QueryOfferedFormats(filter_, 0, &offered);
    if (!NT_SUCCESS(status)) {
        *error = who + ": cannot read its formats (" + Hex(status) + ")";
        return false;
    }
    std::string why;
    auto chosen = ChooseFormat(offered, setup_.request, &why);
    if (!chosen) {
        *error = who + ": " + why;
        const bool pal = !offered.empty() && offered.front().pal;
        *error += std::string("\n(the channel is set to ") + (pal ? "PAL" : "NTSC") +
                  "; --standard " + (pal ? "ntsc" : "pal") + " switches it)";
        return false;
    }
    if (setup_.pal && chosen->offered.pal != *setup_.pal) {
        *error = who + ": the channel stays " + (chosen->offered.pal ? "PAL" : "NTSC") +
                 ": the standard is fixed (m4350cfg standard fixed none releases it)";
        return false;
    }
    chosen_ = *chosen;
    std::vector<LONGLONG> storage;
    status = IntersectFormat(filter_, 0, chosen_, &storage);
    if (!NT_SUCCESS(status)) {
        *error = who + ": data intersection refused " + FormatText() + " (" + Hex(status) + ")";
        return false;
    }
    const auto* format = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(storage.data());
    const KS_BITMAPINFOHEADER& h = format->VideoInfoHeader.bmiHeader;
    format_.subtype = chosen_.offered.subtype;
    format_.width = uint32_t(h.biWidth);
    format_.rows = uint32_t(h.biHeight < 0 ? -h.biHeight : h.biHeight);
    format_.bottomUp = h.biHeight > 0;
    format_.pal = chosen_.offered.pal;
    format_.decimation = chosen_.decimation;
    format_.imageBytes =
        format->DataFormat.SampleSize ? format->DataFormat.SampleSize : h.biSizeImage;
    status = host::ks::CreatePin(filter_, 0, &format->DataFormat, &pin_);
    if (!NT_SUCCESS(status)) {
        pin_ = nullptr;
        *error = who + ": cannot create a capture pin for " + FormatText() + " (" + Hex(status) +
                 (status == STATUS_SHARING_VIOLATION ? ": the channel is already streaming" : "") +
                 ")";
        return false;
    }
    return true;
}

// Both property sets carry the value at the same place after the property:
// a LONG (the decoder's standard is a ULONG of the same size).
bool ChannelCapture::ChangeSetting(const GUID& set, ULONG id, const char* name, int32_t value,
                                   std::string* error) {
    const std::string who = Name() + ": ";
    KSPROPERTY_VIDEOPROCAMP_S data{};
    NTSTATUS status = PropertyRequest(filter_, set, id, KSPROPERTY_TYPE_GET, &data);
    if (!NT_SUCCESS(status)) {
        *error = who + "cannot read " + name + " (" + Hex(status) + ")";
        return false;
    }
    const int32_t before = data.Value;
    data = {};
    data.Value = value;
    data.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    status = PropertyRequest(filter_, set, id, KSPROPERTY_TYPE_SET, &data);
    if (!NT_SUCCESS(status)) {
        *error = who + "the driver refused " + name + " " + std::to_string(value) +
                 (status == STATUS_INVALID_PARAMETER ? " (out of its range)" : "") + " (" +
                 Hex(status) + ")";
        return false;
    }
    if (before != value)
        changed_.push_back({&set, id, name, before, value});
    return true;
}

void ChannelCapture::Restore(std::vector<std::string>* notes) {
    if (filter_) {
        // Last changed first, so a setting changed twice ends as it began.
        for (auto c = changed_.rbegin(); c != changed_.rend(); ++c) {
            KSPROPERTY_VIDEOPROCAMP_S data{};
            NTSTATUS status = PropertyRequest(filter_, *c->set, c->id, KSPROPERTY_TYPE_GET, &data);
            if (NT_SUCCESS(status) && data.Value != c->now) {
                notes->push_back(Name() + ": " + c->name + " is " + std::to_string(data.Value) +
                                 " now, set since this run began; left as it is");
                continue;
            }
            data = {};
            data.Value = c->before;
            data.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
            if (NT_SUCCESS(status))
                status = PropertyRequest(filter_, *c->set, c->id, KSPROPERTY_TYPE_SET, &data);
            if (!NT_SUCCESS(status))
                notes->push_back(Name() + ": cannot put back " + c->name + " " +
                                 std::to_string(c->before) + " (" + Hex(status) + ")");
        }
        host::ks::CloseHandle(filter_);
        filter_ = nullptr;
    }
    changed_.clear();
}

double ChannelCapture::BusBytesPerSecond() const {
    // The board sends the source picture of the mode, whatever the pin makes
    // of it: portrait sizes are turned landscape ones.
    const uint32_t longSide = std::max(format_.width, format_.rows);
    const uint32_t shortSide = std::min(format_.width, format_.rows);
    sim::ModeSettings mode;
    mode.format = format_.pal ? 2 : 1;
    const uint32_t fullWidth = format_.pal ? 704 : 640;
    mode.scale = longSide == fullWidth ? (shortSide * 2 > longSide ? 1 : 2) : 3;
    mode.color = format_.Mono()                     ? sim::kColorLuma
                 : format_.subtype == Subtype::Mjpg ? sim::kColorJpeg
                                                    : sim::kColorPackedYuv;
    mode.fdec = uint32_t(format_.decimation);
    const sim::FrameGeometry g = sim::GeometryOf(mode);
    return g.transferBytes * FramesPerSecond(format_.pal, format_.decimation);
}

bool ChannelCapture::OpenOutputs(const OutputPlan& plan, std::string* error) {
    plan_ = plan;
    uint32_t num, den;
    FrameRate(format_, &num, &den);
    if (plan.stream) {
        if (!y4m_.Open(plan.stream, format_.width, format_.rows, format_.Mono(), num, den)) {
            *error = "cannot write to standard output";
            return false;
        }
        outputs_.push_back("-");
        return true;
    }
    if (plan.folder.empty())
        return true;
    const std::string base = plan.folder + "/" + Name() + "-" + SubtypeName(format_.subtype) + "-" +
                             std::to_string(format_.width) + "x" + std::to_string(format_.rows);
    std::error_code ec;
    if (format_.Rgb()) {
        pngFolder_ = base;
        std::filesystem::create_directories(pngFolder_, ec);
        if (ec) {
            *error = "cannot create " + pngFolder_ + ": " + ec.message();
            return false;
        }
        // A frame folder holds this run's frames only: numbered frames of an
        // earlier run would play on after them.
        uint64_t cleared = 0;
        for (const auto& entry : std::filesystem::directory_iterator(pngFolder_, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.size() == 10 && name.compare(6, 4, ".png") == 0 &&
                std::all_of(name.begin(), name.begin() + 6, ::isdigit) &&
                std::filesystem::remove(entry.path(), ec))
                ++cleared;
        }
        if (cleared)
            std::fprintf(stderr, "m4350cap: removed %llu frames of an earlier run from %s\n",
                         static_cast<unsigned long long>(cleared), pngFolder_.c_str());
        outputs_.push_back(pngFolder_ + "/NNNNNN.png");
        return true;
    }
    const std::string path = base + (format_.subtype == Subtype::Mjpg ? ".mjpeg" : ".y4m");
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    filePath_ = path;
    outputs_.push_back(path);
    if (format_.subtype != Subtype::Mjpg &&
        !y4m_.Open(file_, format_.width, format_.rows, format_.Mono(), num, den)) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    fileWhole_ = uint64_t(std::max<off_t>(0, ftello(file_)));
    return true;
}

bool ChannelCapture::Start(const OutputPlan& plan, std::string* error) {
    if (!OpenOutputs(plan, error))
        return false;
    boardDropsAtStart_ = rig_.Model(setup_.board).Counters().framesDropped[3 - setup_.channel];
    // A pin takes buffers once it has left Stop; Pause opens the channel
    // without starting acquisition yet.
    NTSTATUS status = host::ks::SetPinState(pin_, KSSTATE_PAUSE);
    if (!NT_SUCCESS(status)) {
        *error = Name() + ": the pin did not get ready (" + Hex(status) + ")";
        return false;
    }
    for (uint32_t i = 0; i < kBuffers; ++i) {
        auto buffer =
            std::make_unique<host::ks::StreamBuffer>(kStreamHeaderSize, format_.imageBytes);
        auto* info = reinterpret_cast<KS_FRAME_INFO*>(buffer->Header() + 1);
        info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        status = host::ks::QueueBuffer(pin_, buffer->Header());
        if (!NT_SUCCESS(status)) {
            *error = Name() + ": the pin refused a buffer (" + Hex(status) + ")";
            return false;
        }
        buffers_.push_back(std::move(buffer));
    }
    running_ = true;
    writer_ = std::thread([this] { WriterLoop(); });
    capture_ = std::thread([this] { CaptureLoop(); });
    status = host::ks::SetPinState(pin_, KSSTATE_RUN);
    if (!NT_SUCCESS(status)) {
        *error = Name() + ": the pin did not start running (" + Hex(status) + ")";
        return false;
    }
    return true;
}

bool ChannelCapture::Done() const {
    return done_;
}

void ChannelCapture::CaptureLoop() {
    host::ks::CompletedFrame frame;
    while (running_) {
        const NTSTATUS status =
            host::ks::WaitForFrame(pin_, std::chrono::milliseconds(100), &frame);
        if (status == STATUS_TIMEOUT)
            continue;
        if (!NT_SUCCESS(status) || frame.Status == STATUS_CANCELLED)
            break;
        const auto held = std::chrono::steady_clock::now();
        const KSSTREAM_HEADER* header = frame.Header();
        const auto* info = static_cast<const KS_FRAME_INFO*>(frame.Extension());
        // Hand the bytes to the writer and the buffer straight back to the
        // pin. Once the channel is done, frames go back untaken.
        {
            std::lock_guard lk(m_);
            ++figures_.delivered;
            if (info && info->ExtendedHeaderSize >= sizeof(KS_FRAME_INFO)) {
                figures_.driverDropCount = uint64_t(info->DropCount);
                figures_.pictureNumber = uint64_t(info->PictureNumber);
            }
            if (!done_) {
                ++figures_.frames;
                figures_.bytes += header->DataUsed;
                if (!figures_.firstFrame)
                    figures_.firstFrame = held;
                figures_.lastFrame = held;
                if (queue_.size() >= kWriterQueue) {
                    ++figures_.writerDrops;
                } else {
                    Frame f;
                    if (!spare_.empty()) {
                        f.data = std::move(spare_.back());
                        spare_.pop_back();
                    }
                    const auto* bytes = static_cast<const uint8_t*>(header->Data);
                    f.data.assign(bytes, bytes + std::min(header->DataUsed, header->FrameExtent));
                    f.held = held;
                    queue_.push_back(std::move(f));
                    cv_.notify_one();
                }
                if (setup_.frameLimit && figures_.frames >= setup_.frameLimit)
                    done_ = true;
            }
        }
        for (auto& b : buffers_) {
            if (b->Header()->Data == header->Data) {
                KSSTREAM_HEADER* h = b->Header();
                h->DataUsed = 0;
                h->OptionsFlags = 0;
                auto* fresh = reinterpret_cast<KS_FRAME_INFO*>(h + 1);
                *fresh = {};
                fresh->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
                host::ks::QueueBuffer(pin_, h);
                break;
            }
        }
    }
    std::lock_guard lk(m_);
    captureCpu_ = ThreadCpuSeconds();
}

void ChannelCapture::WriterLoop() {
    for (;;) {
        Frame frame;
        {
            std::unique_lock lk(m_);
            cv_.wait(lk, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                break;
            frame = std::move(queue_.front());
            queue_.pop_front();
        }
        if (!failed_) {
            WriteFrame(frame);
        } else {
            std::lock_guard lk(m_);
            ++figures_.writeFailed;
        }
        std::lock_guard lk(m_);
        spare_.push_back(std::move(frame.data));
        writerCpu_ = ThreadCpuSeconds();
    }
    std::lock_guard lk(m_);
    writerCpu_ = ThreadCpuSeconds();
}

bool ChannelCapture::WriteOutput(const Picture* picture, const uint8_t* data, size_t size,
                                 uint64_t index, std::string* error) {
    if (plan_.stream) {
        if (picture && y4m_.Write(*picture))
            return true;
        pipeClosed_ = errno == EPIPE;
        *error = std::string("cannot write to standard output: ") + std::strerror(errno);
        return false;
    }
    if (file_) {
        const bool ok = format_.subtype == Subtype::Mjpg
                            ? std::fwrite(data, 1, size, file_) == size && std::fflush(file_) == 0
                            : picture && y4m_.Write(*picture);
        if (!ok) {
            *error = "cannot write " + filePath_ + ": " + std::strerror(errno);
            return false;
        }
        fileWhole_ = uint64_t(std::max<off_t>(0, ftello(file_)));
        return true;
    }
    if (!pngFolder_.empty()) {
        char name[32];
        std::snprintf(name, sizeof name, "/%06llu.png", static_cast<unsigned long long>(index));
        return WriteDibPng(pngFolder_ + name, format_, data, size, error);
    }
    return true;
}

// The first failure stops the channel: nothing more is written, and a file
// is cut back to its last whole frame.
void ChannelCapture::Fail(const std::string& error) {
    const bool readerGone = pipeClosed_;
    failed_ = true;
    done_ = true;
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
        if (truncate(filePath_.c_str(), off_t(fileWhole_)) != 0)
            std::fprintf(stderr, "m4350cap: cannot cut %s back to its last whole frame: %s\n",
                         filePath_.c_str(), std::strerror(errno));
    }
    std::lock_guard lk(m_);
    if (readerGone) {
        // The viewer was closed: the end of a live run, not a failure.
        figures_.readerGone = true;
        return;
    }
    ++figures_.writeFailed;
    figures_.writeError = error;
}

void ChannelCapture::WriteFrame(Frame& frame) {
    Picture picture;
    const bool converted = ToPicture(format_, frame.data.data(), frame.data.size(), &picture);
    std::optional<double> latency;
    sim::StampReading stamp;
    if (converted) {
        stamp = ReadPictureStamp(picture, &orientation_);
        if (stamp.valid) {
            if (auto left =
                    rig_.Model(setup_.board).FrameLeft(3 - setup_.channel, stamp.frameNumber))
                latency = std::chrono::duration<double, std::micro>(frame.held - *left).count();
        }
    }
    const bool ours = stamp.valid && stamp.channel == 3 - setup_.channel;
    const bool y4m = plan_.stream || (file_ && format_.subtype != Subtype::Mjpg);
    const bool mjpeg = file_ && format_.subtype == Subtype::Mjpg;
    // Frames the Y4M needs and cannot have are not written.
    const bool writable = !y4m || converted;
    uint64_t index;
    {
        std::lock_guard lk(m_);
        index = figures_.written + 1;
    }
    std::string error;
    bool ok = true;
    uint64_t repeated = 0;
    if (plan_.fill && ours && havePrevious_ && (y4m || mjpeg) &&
        stamp.frameNumber > lastStamp_ + 1 && stamp.frameNumber - lastStamp_ - 1 <= kMaxFill) {
        for (uint32_t n = lastStamp_ + 1; ok && n < stamp.frameNumber; ++n) {
            ok = WriteOutput(&previous_, previousJpeg_.data(), previousJpeg_.size(), index, &error);
            repeated += ok;
        }
    }
    if (ok && writable)
        ok = WriteOutput(converted ? &picture : nullptr, frame.data.data(), frame.data.size(),
                         index, &error);
    if (!ok)
        Fail(error);
    if (ok && writable && plan_.fill && (y4m || mjpeg)) {
        if (y4m)
            previous_ = picture;
        else
            previousJpeg_.assign(frame.data.begin(), frame.data.end());
        havePrevious_ = true;
    }
    std::lock_guard lk(m_);
    figures_.repeated += repeated;
    if (ok && writable)
        ++figures_.written;
    if (ours) {
        // Frame numbers start at 1 when the pin runs, so what is missing
        // before the first picture is a gap too.
        if (stamp.frameNumber > lastStamp_)
            figures_.stampGaps += stamp.frameNumber - lastStamp_ - 1;
        lastStamp_ = stamp.frameNumber;
        figures_.lastStamp = lastStamp_;
    } else {
        ++figures_.badStamps;
    }
    if (latency)
        figures_.latencyUs.push_back(*latency);
    if (converted && plan_.keepLatest) {
        std::swap(latest_, picture);
        haveLatest_ = true;
    }
}

void ChannelCapture::Freeze() {
    if (!pin_ || frozen_)
        return;
    frozen_ = true;
    {
        // The driver's own view, while the pin still exists.
        KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
        if (NT_SUCCESS(PropertyRequest(filter_, PROPSETID_VIDCAP_DROPPEDFRAMES,
                                       KSPROPERTY_DROPPEDFRAMES_CURRENT, KSPROPERTY_TYPE_GET,
                                       &dropped))) {
            std::lock_guard lk(m_);
            figures_.driverDropCount = uint64_t(dropped.DropCount);
            figures_.pictureNumber = uint64_t(dropped.PictureNumber);
        }
        {
            const sim::BoardCounters board = rig_.Model(setup_.board).Counters();
            std::lock_guard lk(m_);
            figures_.boardDrops = board.framesDropped[3 - setup_.channel] - boardDropsAtStart_;
            figures_.boardCaptured = board.captured[3 - setup_.channel];
        }
    }
}

void ChannelCapture::Stop() {
    Freeze();
    if (pin_) {
        running_ = false;
        host::ks::SetPinState(pin_, KSSTATE_STOP);
    }
    running_ = false;
    if (capture_.joinable())
        capture_.join();
    {
        std::lock_guard lk(m_);
        stopping_ = true;
        cv_.notify_all();
    }
    if (writer_.joinable())
        writer_.join();
    if (pin_) {
        host::ks::CloseHandle(pin_);
        pin_ = nullptr;
    }
    buffers_.clear();
    if (file_) {
        // Every frame was flushed as it was written; a failure here is one
        // the file system reports late.
        if (std::fclose(file_) != 0 && !failed_) {
            std::lock_guard lk(m_);
            figures_.writeError = "cannot write " + filePath_ + ": " + std::strerror(errno);
            failed_ = true;
        }
        file_ = nullptr;
    }
    if (plan_.stream)
        std::fflush(plan_.stream);
}

ChannelFigures ChannelCapture::Figures() const {
    std::lock_guard lk(m_);
    ChannelFigures f = figures_;
    if (running_ && !frozen_)
        f.boardDrops = rig_.Model(setup_.board).Counters().framesDropped[3 - setup_.channel] -
                       boardDropsAtStart_;
    return f;
}

bool ChannelCapture::Latest(Picture* out) const {
    std::lock_guard lk(m_);
    if (!haveLatest_)
        return false;
    *out = latest_;
    return true;
}

double ChannelCapture::ToolCpuSeconds() const {
    std::lock_guard lk(m_);
    return captureCpu_ + writerCpu_;
}

std::vector<std::string> ChannelCapture::Outputs() const {
    return outputs_;
}

} // namespace m4350::cap
