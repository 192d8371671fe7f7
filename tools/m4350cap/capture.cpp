#include "capture.h"

#include <host/ks_client.h>
#include <host/ks_pnp.h>
#include <sim/mode.h>

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

ChannelCapture::ChannelCapture(tools::BoardRig& rig, ChannelSetup setup)
    : rig_(rig), setup_(std::move(setup)) {}

ChannelCapture::~ChannelCapture() {
    Stop();
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
    if (setup_.pal) {
        KSPROPERTY_VIDEODECODER_S standard{};
        standard.Value = *setup_.pal ? KS_AnalogVideo_PAL_B : KS_AnalogVideo_NTSC_M;
        status = PropertyRequest(filter_, PROPSETID_VIDCAP_VIDEODECODER,
                                 KSPROPERTY_VIDEODECODER_STANDARD, KSPROPERTY_TYPE_SET, &standard);
        if (!NT_SUCCESS(status)) {
            *error = who + ": the driver did not take the video standard (" + Hex(status) + ")";
            return false;
        }
    }
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
    for (const Setting& s : settings) {
        if (!s.value)
            continue;
        KSPROPERTY_VIDEOPROCAMP_S value{};
        value.Value = *s.value;
        value.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        status = PropertyRequest(filter_, PROPSETID_VIDCAP_VIDEOPROCAMP, s.id, KSPROPERTY_TYPE_SET,
                                 &value);
        if (!NT_SUCCESS(status)) {
            *error = who + ": the driver refused " + s.name + " " + std::to_string(*s.value) +
                     (status == STATUS_INVALID_PARAMETER ? " (out of its range)" : "") + " (" +
                     Hex(status) + ")";
            return false;
        }
    }
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
        outputs_.push_back(pngFolder_ + "/NNNNNN.png");
        return true;
    }
    const std::string path = base + (format_.subtype == Subtype::Mjpg ? ".mjpeg" : ".y4m");
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    outputs_.push_back(path);
    if (format_.subtype != Subtype::Mjpg &&
        !y4m_.Open(file_, format_.width, format_.rows, format_.Mono(), num, den)) {
        *error = "cannot write " + path;
        return false;
    }
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
        // Hand the bytes to the writer and the buffer straight back to the pin.
        {
            std::lock_guard lk(m_);
            ++figures_.frames;
            figures_.bytes += header->DataUsed;
            if (info && info->ExtendedHeaderSize >= sizeof(KS_FRAME_INFO)) {
                figures_.driverDropCount = uint64_t(info->DropCount);
                figures_.pictureNumber = uint64_t(info->PictureNumber);
            }
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
        WriteFrame(frame);
        std::lock_guard lk(m_);
        spare_.push_back(std::move(frame.data));
        writerCpu_ = ThreadCpuSeconds();
    }
    std::lock_guard lk(m_);
    writerCpu_ = ThreadCpuSeconds();
}

void ChannelCapture::WriteFrame(Frame& frame) {
    Picture picture;
    const bool converted = ToPicture(format_, frame.data.data(), frame.data.size(), &picture);
    bool ok = converted || format_.Rgb() || format_.subtype == Subtype::Mjpg;
    if (plan_.stream || (file_ && format_.subtype != Subtype::Mjpg))
        ok = converted && y4m_.Write(picture);
    else if (file_)
        ok = std::fwrite(frame.data.data(), 1, frame.data.size(), file_) == frame.data.size();
    else if (!pngFolder_.empty()) {
        char name[32];
        std::snprintf(name, sizeof name, "/%06llu.png",
                      static_cast<unsigned long long>(figures_.written + figures_.writeErrors + 1));
        std::string error;
        ok = WriteDibPng(pngFolder_ + name, format_, frame.data.data(), frame.data.size(), &error);
        if (!ok && figures_.writeErrors == 0)
            std::fprintf(stderr, "m4350cap: %s\n", error.c_str());
    }
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
    std::lock_guard lk(m_);
    (ok ? figures_.written : figures_.writeErrors) += 1;
    if (stamp.valid && stamp.channel == 3 - setup_.channel) {
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
    if (filter_) {
        host::ks::CloseHandle(filter_);
        filter_ = nullptr;
    }
    buffers_.clear();
    if (file_) {
        std::fclose(file_);
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
