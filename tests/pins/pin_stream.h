// A client of the capture pins, as an application drives them through the
// streaming class's client calls, and the picture it must receive: the
// board model's raw frame put through the reference conversion the format
// calls for.
#pragma once

#include <host/ks_client.h>
#include <ksmedia.h>
#include <sim/board.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace m4350test {

// Row `row` of the NTSC (standard 1) or PAL (standard 2) format list.
const KS_DATARANGE_VIDEO& CatalogueRange(ULONG standard, ULONG row);
std::string DescribeRange(const KS_DATARANGE_VIDEO& range);

// The interface link of a channel's filter on the `board`-th board started.
std::wstring ChannelLink(size_t board, ULONG channel);

// One frame as the client got it back.
struct ReceivedFrame {
    NTSTATUS status = STATUS_SUCCESS;
    KSSTREAM_HEADER header{};
    KS_FRAME_INFO info{};
    std::vector<uint8_t> data; // DataUsed bytes of the buffer
    size_t buffer = 0;         // which of the stream's buffers
};

class PinStream {
public:
    ~PinStream();
    NTSTATUS Open(const std::wstring& link);
    // Intersects the range and creates the pin with the format it yields;
    // the format can be adjusted before the pin is made.
    NTSTATUS Connect(const KS_DATARANGE_VIDEO& range,
                     void (*adjust)(KS_DATAFORMAT_VIDEOINFOHEADER&) = nullptr);
    // Adds buffers of the size (0: the framing the pin asks for); they live
    // as long as the stream, so a buffer the pin still holds stays valid.
    void MakeBuffers(size_t count, ULONG extent = 0);
    NTSTATUS QueueAll();
    // Queues every buffer in Pause, then runs: the first frames have
    // somewhere to go.
    NTSTATUS Run();
    NTSTATUS Queue(size_t buffer);
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS Next(ReceivedFrame* frame, std::chrono::milliseconds bound = std::chrono::seconds(10));
    void Close();

    HANDLE filter() const { return filter_; }
    HANDLE pin() const { return pin_; }
    const KS_DATAFORMAT_VIDEOINFOHEADER& format() const { return format_; }
    // The allocator framing the pin answers.
    KSALLOCATOR_FRAMING_EX Framing() const;

private:
    HANDLE filter_ = nullptr;
    HANDLE pin_ = nullptr;
    KS_DATAFORMAT_VIDEOINFOHEADER format_{};
    std::vector<std::unique_ptr<host::ks::StreamBuffer>> buffers_;
};

// The picture the format must receive for a raw frame (the image after the
// board's 512-byte header) sent in colour or as luma alone.
std::vector<uint8_t> ExpectedPicture(const KS_BITMAPINFOHEADER& bitmap, const uint8_t* raw,
                                     uint32_t compressedSize);

// The board's frames of one channel, rendered again for comparison. Frames
// the board or the driver let go leave gaps in the board's numbers; Match
// looks forward, up to the last frame the board sent. When the board has
// lost its power (a system sleep), its numbering starts again at 1 while
// the driver's picture numbers go on; Match follows it there.
class BoardFrames {
public:
    BoardFrames(std::shared_ptr<m4350::sim::Board> model, uint32_t boardChannel);
    // True when the frame is the board's frame for the driver's picture
    // number, converted for the bitmap. Pictures the driver counted but did
    // not deliver stand for board frames too. The board's mode is read at
    // the first call.
    bool Match(const KS_BITMAPINFOHEADER& bitmap, const std::vector<uint8_t>& delivered,
               LONGLONG pictureNumber);
    LONGLONG lastPicture() const { return lastPicture_; }
    uint64_t delivered() const { return delivered_; }
    // What the last failed Match found.
    const std::string& mismatch() const { return mismatch_; }

private:
    std::shared_ptr<m4350::sim::Board> model_;
    uint32_t channel_;
    // Looks for the picture among the board's frames first..last; on a match
    // the next search starts after it.
    bool Search(const KS_BITMAPINFOHEADER& bitmap, const std::vector<uint8_t>& delivered,
                uint32_t first, uint32_t last);

    std::unique_ptr<m4350::sim::FrameBuilder> builder_;
    uint64_t powerLosses_ = 0; // the board's power losses the numbering has followed
    uint32_t next_ = 1;        // the board number the next frame should carry
    uint64_t skipped_ = 0;     // board numbers passed over so far
    std::string mismatch_;
    LONGLONG lastPicture_ = 0;
    uint64_t delivered_ = 0;
};

} // namespace m4350test
