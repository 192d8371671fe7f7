// The capture pins over the simulated bus and board, through the client
// calls only: every format of both lists, several channels and boards at
// once, starvation, a second stream on a busy channel, and stopping.
#include "pin_system_fixture.h"

#include "board/board.h"
#include "board/mode_settings.h"
#include "device/pool_tags.h"

#include <host/kernel.h>
#include <host/services.h>

#include <gtest/gtest.h>

#include <array>

namespace m4350test {
namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// Every format of both lists, each on some channel, with the standard fixed.

struct FormatRow {
    ULONG standard; // FixedStandard: 1 NTSC, 2 PAL
    ULONG row;
};

// How CTest shows a row: the list and the row, not the bytes.
void PrintTo(const FormatRow& row, std::ostream* out) {
    *out << (row.standard == 2 ? "PAL" : "NTSC") << " row " << row.row;
}

class EveryFormat : public PinSystemTest, public ::testing::WithParamInterface<FormatRow> {};

TEST_P(EveryFormat, StreamsTheBoardsPicturesStamped) {
    const FormatRow& p = GetParam();
    host::SetServiceDword(Parameters, L"FixedStandard", p.standard);
    StartBoard();
    const ULONG channel = p.row % 4;
    const KS_DATARANGE_VIDEO& range = CatalogueRange(p.standard, p.row);
    SCOPED_TRACE(DescribeRange(range));

    PinStream& stream = OpenStream(0, channel);
    ASSERT_EQ(stream.Connect(range), STATUS_SUCCESS);
    const ULONG imageSize = range.VideoInfoHeader.bmiHeader.biSizeImage;
    KSALLOCATOR_FRAMING_EX framing = stream.Framing();
    EXPECT_EQ(framing.FramingItem[0].Frames, 6u);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MaxFrameSize, imageSize);
    stream.MakeBuffers(6);
    ASSERT_EQ(stream.Run(), STATUS_SUCCESS);

    BoardFrames frames = Frames(0, 3 - channel);
    ExpectFrames(stream, frames, 5);
    EXPECT_EQ(models[0]->Mode(3 - channel).format, p.standard);
    ASSERT_EQ(stream.SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

std::vector<FormatRow> AllRows() {
    std::vector<FormatRow> rows;
    for (ULONG standard : {1u, 2u}) {
        for (ULONG row = 0; row < 39; ++row) {
            rows.push_back({standard, row});
        }
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryFormat, ::testing::ValuesIn(AllRows()),
                         [](const ::testing::TestParamInfo<FormatRow>& info) {
                             return std::string(info.param.standard == 2 ? "Pal" : "Ntsc") +
                                    std::to_string(info.param.row);
                         });

// ---------------------------------------------------------------------------
// Several streams at once.

TEST_F(PinSystemTest, FourChannelsStreamFourFormatsAndStandardsAtOnce) {
    // Channel 1 and 3 come up PAL from the saved modes.
    SaveStandards(0, {1, 2, 1, 2});
    StartBoard();
    const auto& formats = FourChannelFormats;
    std::array<PinStream*, 4> stream{};
    std::vector<std::unique_ptr<BoardFrames>> frames;
    for (ULONG n = 0; n < 4; ++n) {
        stream[n] = &OpenStream(0, n);
        ASSERT_EQ(stream[n]->Connect(CatalogueRange(formats[n].standard, formats[n].row),
                                     formats[n].halfRate ? HalfRate : nullptr),
                  STATUS_SUCCESS)
            << n;
        stream[n]->MakeBuffers(6);
        ASSERT_EQ(stream[n]->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(stream[n]->QueueAll(), STATUS_SUCCESS);
        frames.push_back(std::make_unique<BoardFrames>(Frames(0, 3 - n)));
    }
    for (ULONG n = 0; n < 4; ++n) {
        ASSERT_EQ(stream[n]->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    // Each channel is served as its frames come, so that none runs dry while
    // the client waits on another.
    std::array<ULONG, 4> received{};
    auto serve = [&] {
        bool all = true;
        for (ULONG n = 0; n < 4; ++n) {
            ReceivedFrame frame;
            while (received[n] < 30 && stream[n]->Next(&frame, 0ms) == STATUS_SUCCESS) {
                SCOPED_TRACE("channel " + std::to_string(n));
                CheckFrame(*stream[n], *frames[n], frame);
                ++received[n];
            }
            all = all && received[n] >= 30;
        }
        return all;
    };
    EXPECT_TRUE(m4350::WaitUntil(serve, 30s))
        << received[0] << " " << received[1] << " " << received[2] << " " << received[3];
    for (ULONG n = 0; n < 4; ++n) {
        EXPECT_EQ(stream[n]->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    }
}

TEST_F(PinSystemTest, TwoBoardsRunTheSameChannelInDifferentStandards) {
    SaveStandards(0, {1, 2, 1, 1});
    SaveStandards(1, {1, 1, 1, 1});
    StartBoard();
    StartBoard();
    PinStream& pal = OpenStream(0, 1);
    PinStream& ntsc = OpenStream(1, 1);
    // Each board's filter offers its own list.
    EXPECT_EQ(ntsc.Connect(CatalogueRange(2, 0)), STATUS_NO_MATCH);
    EXPECT_EQ(pal.Connect(CatalogueRange(1, 0)), STATUS_NO_MATCH);
    ASSERT_EQ(pal.Connect(CatalogueRange(2, 7)), STATUS_SUCCESS);
    ASSERT_EQ(ntsc.Connect(CatalogueRange(1, 7)), STATUS_SUCCESS);
    BoardFrames palFrames = Frames(0, 2), ntscFrames = Frames(1, 2);
    for (PinStream* s : {&pal, &ntsc}) {
        s->MakeBuffers(6);
        ASSERT_EQ(s->Run(), STATUS_SUCCESS);
    }
    for (ULONG k = 0; k < 10; ++k) {
        ExpectFrames(pal, palFrames, 1);
        ExpectFrames(ntsc, ntscFrames, 1);
    }
    EXPECT_EQ(models[0]->Mode(2).format, 2u);
    EXPECT_EQ(models[1]->Mode(2).format, 1u);
}

// ---------------------------------------------------------------------------
// What a stream does when its client falls behind, or a second client comes.

TEST_F(PinSystemTest, StarvedClientSeesTheMissedFramesInDropCountAndTime) {
    StartBoard();
    PinStream& stream = OpenStream(0, 2);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 20)), STATUS_SUCCESS); // 320 x 240 Y800
    stream.MakeBuffers(2);
    ASSERT_EQ(stream.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(stream.QueueAll(), STATUS_SUCCESS);
    ReceivedFrame frame;
    for (LONGLONG k = 1; k <= 2; ++k) {
        ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
        EXPECT_EQ(frame.info.PictureNumber, k + frame.info.DropCount);
    }
    // No buffer for a while: the driver keeps six frames and lets the
    // oldest go as new ones come.
    const uint64_t sentBefore = models[0]->Counters().frames[1];
    ASSERT_TRUE(
        models[0]->WaitFor([&](const auto& c) { return c.frames[1] >= sentBefore + 12; }, 10s));
    ASSERT_EQ(stream.Queue(0), STATUS_SUCCESS);
    ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
    const LONGLONG interval = stream.format().VideoInfoHeader.AvgTimePerFrame;
    EXPECT_GT(frame.info.PictureNumber, 3);
    EXPECT_EQ(frame.info.DropCount, frame.info.PictureNumber - 3);
    EXPECT_EQ(frame.header.PresentationTime.Time, (frame.info.PictureNumber - 1) * interval);
    EXPECT_EQ(frame.data.size(), 320u * 240u);
}

TEST_F(PinSystemTest, SecondPinOnAStreamingChannelIsRefusedAndLeavesTheStreamAlone) {
    SimulatedBoard& board = StartBoard();
    PinStream& first = OpenStream(0, 0);
    ASSERT_EQ(first.Connect(CatalogueRange(1, 0)), STATUS_SUCCESS); // 640 x 480 UYVY
    first.MakeBuffers(6);
    ASSERT_EQ(first.Run(), STATUS_SUCCESS);
    BoardFrames frames = Frames(0, 3);
    ExpectFrames(first, frames, 3);

    const uint64_t modesSent = models[0]->Counters().setMode;
    PinStream& second = OpenStream(0, 0);
    EXPECT_EQ(second.Connect(CatalogueRange(1, 30)), STATUS_SHARING_VIOLATION); // 480 x 640
    EXPECT_EQ(models[0]->Counters().setMode, modesSent);
    Board* b = board.device()->board;
    EXPECT_EQ(getRotate(b, 0), 0u);
    EXPECT_EQ(getTopDown(b, 0), 0u);
    EXPECT_EQ(board.device()->openCount[0], 1);
    ExpectFrames(first, frames, 5);
}

TEST_F(PinSystemTest, StopMidStreamHandsEveryQueuedBufferBackCancelled) {
    SimulatedBoard& board = StartBoard();
    PinStream& stream = OpenStream(0, 3);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 18)), STATUS_SUCCESS); // 320 x 240 YUY2
    EXPECT_EQ(board.device()->pinCount[3], 1);
    stream.MakeBuffers(6);
    ASSERT_EQ(stream.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(stream.QueueAll(), STATUS_SUCCESS);
    ReceivedFrame frame;
    ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    ASSERT_EQ(stream.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    size_t cancelled = 0, delivered = 1;
    while (stream.Next(&frame, 2s) == STATUS_SUCCESS) {
        (frame.status == STATUS_CANCELLED ? cancelled : delivered) += 1;
    }
    EXPECT_EQ(cancelled + delivered, 6u);
    EXPECT_GE(cancelled, 1u);
    stream.Close();
    EXPECT_EQ(host::PoolLiveCount(FormatCopyTags[3]), 0u);
    EXPECT_EQ(board.device()->pinCount[3], 0);
    EXPECT_EQ(board.device()->openCount[3], 0);
}

// The frame path allocates nothing: with every allocation of the driver's
// own tags failing, frames keep coming and not one allocation is tried.
TEST_F(PinSystemTest, DeliveryAllocatesNothing) {
    StartBoard();
    PinStream& stream = OpenStream(0, 1);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 1)), STATUS_SUCCESS); // 640 x 480 RGB24
    stream.MakeBuffers(6);
    ASSERT_EQ(stream.Run(), STATUS_SUCCESS);
    BoardFrames frames = Frames(0, 2);
    ExpectFrames(stream, frames, 2);
    for (ULONG tag : {DeviceTag, BoardTag, FrameQueueTag, UsbRequestTag, InterfaceCopyTag,
                      FormatCopyTags[0], FormatCopyTags[1], FormatCopyTags[2], FormatCopyTags[3]}) {
        host::FailAllocationsWithTag(tag);
    }
    const size_t liveBefore = host::PoolLiveCount(BoardTag) + host::PoolLiveCount(DeviceTag);
    ExpectFrames(stream, frames, 10);
    EXPECT_EQ(host::PoolFailuresInjected(), 0u);
    EXPECT_EQ(host::PoolLiveCount(BoardTag) + host::PoolLiveCount(DeviceTag), liveBefore);
    host::ClearPoolFaults();
}

} // namespace
} // namespace m4350test
