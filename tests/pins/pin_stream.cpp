#include "pin_stream.h"

#include "capture/conversion_reference.h"
#include "capture/format_catalogue.h"

#include <algorithm>
#include <cstring>

namespace m4350test {

namespace {

constexpr ULONG FourCc(char a, char b, char c, char d) {
    return ULONG(uint8_t(a)) | ULONG(uint8_t(b)) << 8 | ULONG(uint8_t(c)) << 16 |
           ULONG(uint8_t(d)) << 24;
}

std::string FourCcText(ULONG code) {
    if (code == 0) {
        return "RGB";
    }
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        text[i] = char((code >> (8 * i)) & 0xFF);
    }
    return text;
}

} // namespace

const KS_DATARANGE_VIDEO& CatalogueRange(ULONG standard, ULONG row) {
    const DataRangeList& list = standard == 2 ? PalRangeList : NtscRangeList;
    return *reinterpret_cast<const KS_DATARANGE_VIDEO*>(list.Ranges[row]);
}

std::string DescribeRange(const KS_DATARANGE_VIDEO& range) {
    const KS_BITMAPINFOHEADER& b = range.VideoInfoHeader.bmiHeader;
    return FourCcText(b.biCompression) + std::to_string(b.biBitCount) + " " +
           std::to_string(b.biWidth) + "x" + std::to_string(b.biHeight);
}

std::wstring ChannelLink(size_t board, ULONG channel) {
    std::wstring reference = L"m4350av_chan" + std::to_wstring(channel + 1);
    size_t seen = 0;
    for (const std::wstring& link : host::ks::EnumerateFilters(KSCATEGORY_CAPTURE)) {
        if (link.size() >= reference.size() &&
            link.compare(link.size() - reference.size(), reference.size(), reference) == 0) {
            if (seen++ == board) {
                return link;
            }
        }
    }
    return {};
}

PinStream::~PinStream() {
    Close();
}

NTSTATUS PinStream::Open(const std::wstring& link) {
    return host::ks::OpenFilter(link.c_str(), &filter_);
}

NTSTATUS PinStream::Connect(const KS_DATARANGE_VIDEO& range,
                            void (*adjust)(KS_DATAFORMAT_VIDEOINFOHEADER&)) {
    ULONG size = 0;
    NTSTATUS status = host::ks::IntersectDataRange(filter_, 0, &range.DataRange, &format_,
                                                   sizeof(format_), &size);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (adjust) {
        adjust(format_);
    }
    return host::ks::CreatePin(filter_, 0, &format_.DataFormat, &pin_);
}

KSALLOCATOR_FRAMING_EX PinStream::Framing() const {
    KSALLOCATOR_FRAMING_EX framing{};
    ULONG returned = 0;
    host::ks::GetProperty(pin_, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
                          &framing, sizeof(framing), &returned);
    return framing;
}

void PinStream::MakeBuffers(size_t count, ULONG extent) {
    if (extent == 0) {
        extent = Framing().FramingItem[0].FramingRange.Range.MaxFrameSize;
    }
    for (size_t i = 0; i < count; ++i) {
        buffers_.push_back(std::make_unique<host::ks::StreamBuffer>(
            ULONG(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)), extent));
    }
}

NTSTATUS PinStream::Queue(size_t buffer) {
    // The driver leaves DataUsed alone when it delivers nothing (RGB32 in a
    // short buffer): start every buffer from an empty header.
    buffers_[buffer]->Header()->DataUsed = 0;
    return host::ks::QueueBuffer(pin_, buffers_[buffer]->Header());
}

NTSTATUS PinStream::QueueAll() {
    for (size_t i = 0; i < buffers_.size(); ++i) {
        NTSTATUS status = Queue(i);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS PinStream::Run() {
    NTSTATUS status = SetState(KSSTATE_PAUSE);
    if (NT_SUCCESS(status)) {
        status = QueueAll();
    }
    return NT_SUCCESS(status) ? SetState(KSSTATE_RUN) : status;
}

NTSTATUS PinStream::SetState(KSSTATE state) {
    return host::ks::SetPinState(pin_, state);
}

NTSTATUS PinStream::Next(ReceivedFrame* frame, std::chrono::milliseconds bound) {
    host::ks::CompletedFrame completed;
    NTSTATUS status = host::ks::WaitForFrame(pin_, bound, &completed);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    frame->status = completed.Status;
    frame->header = *completed.Header();
    if (const void* extension = completed.Extension()) {
        std::memcpy(&frame->info, extension, sizeof(KS_FRAME_INFO));
    }
    for (size_t i = 0; i < buffers_.size(); ++i) {
        if (buffers_[i]->Data() == frame->header.Data) {
            frame->buffer = i;
            ULONG used = std::min(frame->header.DataUsed, buffers_[i]->FrameExtent());
            frame->data.assign(buffers_[i]->Data(), buffers_[i]->Data() + used);
        }
    }
    return STATUS_SUCCESS;
}

void PinStream::Close() {
    if (pin_) {
        host::ks::CloseHandle(pin_);
        pin_ = nullptr;
    }
    if (filter_) {
        host::ks::CloseHandle(filter_);
        filter_ = nullptr;
    }
}

// The conversion each format calls for, from the raw layouts the board
// sends: planar 4:2:2 for colour, the luma plane alone for Y800.
std::vector<uint8_t> ExpectedPicture(const KS_BITMAPINFOHEADER& bitmap, const uint8_t* raw,
                                     uint32_t compressedSize) {
    const ULONG W = ULONG(bitmap.biWidth);
    const ULONG H = ULONG(bitmap.biHeight < 0 ? -bitmap.biHeight : bitmap.biHeight);
    const bool topDown = bitmap.biHeight < 0;
    // The portrait sizes are NTSC's 480 x 640, 480 x 320 and 240 x 320: the
    // only widths no upright size has.
    const bool portrait = W == 480 || W == 240;
    // The one portrait size built from a single field: 480 x 320 of a
    // 640 x 240 field.
    const bool field = portrait && W == 480 && H == 320;
    const ULONG Sw = portrait ? (field ? 2 * H : H) : W;
    const ULONG Sh = portrait ? W : H;
    const BOOLEAN yuy2 = bitmap.biCompression == FourCc('Y', 'U', 'Y', '2');
    std::vector<uint8_t> out;
    switch (bitmap.biCompression) {
    case 0:
        out.resize(size_t(W) * H * (bitmap.biBitCount / 8));
        if (bitmap.biBitCount == 24) {
            (topDown ? reference::planarToRgb24 : reference::planarToRgb24Flipped)(raw, out.data(),
                                                                                   W, H);
        } else {
            (topDown ? reference::planarToRgb32 : reference::planarToRgb32Flipped)(raw, out.data(),
                                                                                   W, H);
        }
        break;
    case FourCc('Y', 'V', '1', '6'):
        out.resize(size_t(W) * H * 2);
        reference::planarToYv16(raw, out.data(), W, H);
        break;
    case FourCc('M', 'J', 'P', 'G'):
        out.assign(raw, raw + compressedSize);
        break;
    case FourCc('Y', '8', '0', '0'):
        out.resize(size_t(W) * H);
        if (!portrait) {
            reference::copyLuma(raw, out.data(), W, H);
        } else if (topDown) {
            (field ? reference::fieldTransposeLuma(raw, out.data(), W, H, Sw)
                   : reference::transposeLuma(raw, out.data(), W, H, Sw));
        } else if (field) {
            reference::fieldAntiTransposeLuma(raw, out.data(), W, H, Sw);
        } else {
            reference::antiTransposeLuma(raw, out.data(), W, H, Sw, Sh);
        }
        break;
    default: // UYVY, YUY2
        out.resize(size_t(W) * H * 2);
        if (!portrait) {
            reference::planarToPacked(raw, out.data(), W, H, yuy2 ? 1 : 2, 0);
        } else if (topDown) {
            if (field) {
                reference::planarFieldToPackedAntiTransposed(raw, out.data(), W, H, Sw, yuy2, 0);
            } else {
                reference::planarToPackedAntiTransposed(raw, out.data(), W, H, Sw, Sh, yuy2, 0);
            }
        } else if (field) {
            reference::planarFieldToPackedTransposed(raw, out.data(), W, H, Sw, yuy2, 0);
        } else {
            reference::planarToPackedTransposed(raw, out.data(), W, H, Sw, yuy2, 0);
        }
        break;
    }
    return out;
}

BoardFrames::BoardFrames(std::shared_ptr<m4350::sim::Board> model, uint32_t boardChannel)
    : model_(std::move(model)), channel_(boardChannel),
      // Taken before the stream runs: its first frame may have been made
      // before a power loss and be looked at after it.
      powerLosses_(model_->Counters().powerLosses) {}

bool BoardFrames::Match(const KS_BITMAPINFOHEADER& bitmap, const std::vector<uint8_t>& delivered,
                        LONGLONG pictureNumber) {
    const m4350::sim::BoardCounters counters = model_->Counters();
    if (!builder_) {
        builder_ = std::make_unique<m4350::sim::FrameBuilder>(channel_, model_->Mode(channel_));
    }
    ++delivered_;
    if (pictureNumber > lastPicture_ + 1) {
        next_ += uint32_t(pictureNumber - lastPicture_ - 1); // the driver's drops
    }
    lastPicture_ = pictureNumber;
    // Frames the board or the driver let go (a slow client, a slow bus)
    // leave gaps the client cannot see exactly; the picture must still be
    // the board's frame of some later number, in order, byte for byte.
    // After the board lost its power its numbers start again at 1 while the
    // driver's go on; frames of the old run may still come first, from the
    // driver's queue, up to the last the board sent before it lost power.
    const bool restarted = counters.powerLosses != powerLosses_;
    const uint64_t lastSent = counters.lastFrameNumber[channel_];
    const uint32_t last = restarted ? next_ + m4350::sim::Board::kSentFrameRecords
                                    : uint32_t(std::max<uint64_t>(lastSent, next_));
    if (Search(bitmap, delivered, next_, last)) {
        return true;
    }
    if (restarted && Search(bitmap, delivered, 1, uint32_t(std::max<uint64_t>(lastSent, 1)))) {
        powerLosses_ = counters.powerLosses;
        return true;
    }
    return false;
}

bool BoardFrames::Search(const KS_BITMAPINFOHEADER& bitmap, const std::vector<uint8_t>& delivered,
                         uint32_t first, uint32_t last) {
    for (uint32_t number = first; number <= last; ++number) {
        auto transfer = builder_->Build(number);
        std::vector<uint8_t> expected =
            ExpectedPicture(bitmap, transfer.data() + 512, builder_->compressedSize());
        if (expected == delivered) {
            skipped_ += number - first;
            next_ = number + 1;
            return true;
        }
        if (number == first && first == next_) {
            size_t at = 0;
            while (at < expected.size() && at < delivered.size() && expected[at] == delivered[at]) {
                ++at;
            }
            mismatch_ = "board frame " + std::to_string(number) + ": " +
                        std::to_string(expected.size()) + " bytes expected, first difference at " +
                        std::to_string(at) + " (mode scale " +
                        std::to_string(builder_->mode().scale) + " color " +
                        std::to_string(builder_->mode().color) + ", picture " +
                        std::to_string(builder_->geometry().width) + "x" +
                        std::to_string(builder_->geometry().height) + ")";
        }
    }
    return false;
}

} // namespace m4350test
