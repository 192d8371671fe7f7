// Format negotiation and stream states of the capture pins, seen from the
// client and checked against the channel's mode, the board's counters and
// the driver's log.
#include "pin_system_fixture.h"

#include "capture/conversion_reference.h"
#include "capture/format_catalogue.h"
#include "device/capture_device.h"
#include "device/pool_tags.h"

#include <host/kernel.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <thread>

#include <cstring>

namespace m4350test {
namespace {

using namespace std::chrono_literals;

// The format the class reports for the stream's pin.
KS_DATAFORMAT_VIDEOINFOHEADER ConnectedFormat(const PinStream& stream) {
    KS_DATAFORMAT_VIDEOINFOHEADER connected{};
    ULONG returned = 0;
    EXPECT_EQ(host::ks::GetProperty(stream.pin(), KSPROPSETID_Connection,
                                    KSPROPERTY_CONNECTION_DATAFORMAT, &connected, sizeof(connected),
                                    &returned),
              STATUS_SUCCESS);
    return connected;
}

// What a requested format makes of the channel's mode.
struct MappingCase {
    const char* name;
    ULONG standard; // FixedStandard
    ULONG row;
    LONGLONG interval; // 0: the row's own
    ULONG deinterlace;
    ULONG scale, fdec, color, connectedColor, rotate, topDown;
    LONGLONG connectedInterval;
    const char* message; // logged on the way; null for none to check
};

const MappingCase Mappings[] = {
    {"NTSC 640x480 UYVY", 1, 0, 0, 0, 1, 1, 2, 2, 0, 0, 333667, "COLOR format: UYVY"},
    {"deinterlaced", 1, 0, 0, 1, 4, 1, 2, 2, 0, 0, 333667, nullptr},
    {"NTSC RGB24", 1, 1, 0, 0, 1, 1, 3, 3, 0, 0, 333667, "COLOR_RGB"},
    {"NTSC RGB32", 1, 9, 0, 0, 2, 1, 15, 15, 0, 0, 333667, "COLOR_RGB32"},
    {"NTSC YV16", 1, 17, 0, 0, 3, 1, 1, 1, 0, 0, 333667, "color YV16"},
    {"NTSC MJPG", 1, 5, 0, 0, 1, 1, 0x3205, 5, 0, 0, 333667, "color MJPG"},
    {"NTSC Y800", 1, 20, 0, 0, 3, 1, 4, 4, 0, 0, 333667, "color Y800"},
    {"portrait top-down", 1, 21, 0, 0, 1, 1, 2, 2, 1, 1, 333667, "rotated"},
    {"portrait field", 1, 33, 0, 0, 2, 1, 2, 2, 1, 0, 333667, "rotated"},
    {"NTSC snapped", 1, 0, 700000, 0, 1, 2, 2, 2, 0, 0, 666667,
     "Invalid frame rate! could not find a match for this time per frame 700000"},
    {"NTSC exact second", 1, 0, 1001001, 0, 1, 3, 2, 2, 0, 0, 1001001, nullptr},
    {"PAL snapped down", 2, 0, 1600000, 0, 1, 3, 2, 2, 0, 0, 1200000,
     "changing avgtimeperframe to 1200000 "},
    {"PAL snapped up", 2, 0, 1600001, 0, 1, 5, 2, 2, 0, 0, 2000000, nullptr},
    {"PAL 352x288 YUY2", 2, 18, 0, 0, 3, 1, 2, 2, 0, 0, 400000, "COLOR format: YUY2"},
};

TEST_F(PinSystemTest, RequestedFormatsMapOntoTheChannelsMode) {
    for (const MappingCase& c : Mappings) {
        SCOPED_TRACE(c.name);
        host::SetServiceDword(Parameters, L"FixedStandard", c.standard);
        host::SetServiceDword(Parameters, L"Deinterlace", c.deinterlace);
        SimulatedBoard& board = StartBoard();
        host::ClearDebugLog();
        PinStream& stream = OpenStream(0, 2);
        static LONGLONG interval;
        interval = c.interval;
        ASSERT_EQ(stream.Connect(CatalogueRange(c.standard, c.row),
                                 [](KS_DATAFORMAT_VIDEOINFOHEADER& f) {
                                     if (interval) {
                                         f.VideoInfoHeader.AvgTimePerFrame = interval;
                                     }
                                 }),
                  STATUS_SUCCESS);
        ModeSettings mode = ChannelMode(board, 2);
        EXPECT_EQ(mode.format, c.standard);
        EXPECT_EQ(mode.scale, c.scale);
        EXPECT_EQ(mode.fdec, c.fdec);
        EXPECT_EQ(mode.color, c.color);
        EXPECT_EQ(mode.restart, 1u);
        EXPECT_EQ(models.back()->Mode(1).color, c.color) << "the board has the mode";
        CaptureDevice* device = board.device();
        EXPECT_EQ(device->connectedColor[2], c.connectedColor);
        EXPECT_EQ(getRotate(device->board, 2), c.rotate);
        EXPECT_EQ(getTopDown(device->board, 2), c.topDown);
        const KS_DATAFORMAT_VIDEOINFOHEADER connected = ConnectedFormat(stream);
        EXPECT_EQ(connected.VideoInfoHeader.AvgTimePerFrame, c.connectedInterval);
        if (c.message) {
            EXPECT_EQ(host::DebugLogCount(c.message), 1u);
        }
        streams.clear();
        system->Remove(board);
    }
}

TEST_F(PinSystemTest, MonochromeChannelGetsMonochromePackedYuv) {
    SimulatedBoard& board = StartBoard();
    board.device()->m_bColor[0] = 0;
    PinStream& stream = OpenStream(0, 0);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 0)), STATUS_SUCCESS);
    EXPECT_EQ(ChannelMode(board, 0).color & 0xFF, 4u);
    EXPECT_EQ(board.device()->connectedColor[0], 2u);
    stream.MakeBuffers(2);
    ASSERT_EQ(stream.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(stream.QueueAll(), STATUS_SUCCESS);
    ReceivedFrame frame;
    ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
    ASSERT_EQ(frame.data.size(), 640u * 480u * 2u);
    m4350::sim::FrameBuilder builder(3, models[0]->Mode(3));
    auto transfer = builder.Build(uint32_t(frame.info.PictureNumber));
    std::vector<uint8_t> expected(640 * 480 * 2);
    reference::lumaToPacked(transfer.data() + 512, expected.data(), 640, 480, FALSE, 0);
    EXPECT_EQ(frame.data, expected);
}

// A channel's standard refuses the other standard's sizes, before anything
// reaches the board.
TEST_F(PinSystemTest, SizeOfTheOtherStandardIsRefused) {
    host::SetServiceDword(Parameters, L"FixedStandard", 2);
    SimulatedBoard& board = StartBoard();
    PinStream& stream = OpenStream(0, 1);
    // The list is PAL's; the mode is switched to NTSC behind the filter's back.
    ModeSettings mode = ChannelMode(board, 1);
    mode.format = FormatNtsc;
    ASSERT_EQ(setMode(board.device()->board, 1, &mode), 0);
    const uint64_t modesSent = models[0]->Counters().setMode;
    host::ClearDebugLog();
    // Offered with each range of its subtype, the field size is refused by
    // each, with the message; the full size quietly.
    EXPECT_EQ(stream.Connect(CatalogueRange(2, 7)), STATUS_NO_MATCH); // 704 x 288
    const size_t refusals = host::DebugLogCount("no match PAL but mode set to NTSC_C");
    EXPECT_GE(refusals, 1u);
    EXPECT_EQ(stream.Connect(CatalogueRange(2, 0)), STATUS_NO_MATCH); // 704 x 576
    EXPECT_EQ(host::DebugLogCount("no match PAL but mode set to NTSC_C"), refusals);
    EXPECT_EQ(models[0]->Counters().setMode, modesSent);
}

// Every filter instance of a channel offers the channel's current list: a
// later filter that switches the standard switches it for the earlier one.
TEST_F(PinSystemTest, AnOpenFilterSeesItsChannelsNewList) {
    host::SetServiceDword(Parameters, L"FixedStandard", 2);
    StartBoard();
    PinStream& early = OpenStream(0, 3);
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    ULONG size = 0;
    EXPECT_EQ(host::ks::IntersectDataRange(early.filter(), 0, &CatalogueRange(2, 0).DataRange,
                                           &format, sizeof(format), &size),
              STATUS_SUCCESS);
    host::SetServiceDword(Parameters, L"FixedStandard", 1);
    OpenStream(0, 3);
    EXPECT_EQ(host::ks::IntersectDataRange(early.filter(), 0, &CatalogueRange(2, 0).DataRange,
                                           &format, sizeof(format), &size),
              STATUS_NO_MATCH);
    EXPECT_EQ(host::ks::IntersectDataRange(early.filter(), 0, &CatalogueRange(1, 0).DataRange,
                                           &format, sizeof(format), &size),
              STATUS_SUCCESS);
}

// Changes of format on a running pin: nothing goes to the board, so only what
// the stream can take is accepted, and an accepted change keeps the stream
// delivering at its running rate.
constexpr LONGLONG RunningInterval = -1; // the request keeps the format's own

struct RunningChange {
    const char* name;
    ULONG standard; // FixedStandard
    ULONG row;      // the running format
    LONG width, height;
    LONGLONG interval;
    NTSTATUS expected;
    bool padding; // "padding\n" logged
};

const RunningChange RunningChanges[] = {
    {"same format", 1, 0, 640, 480, RunningInterval, STATUS_SUCCESS, false},
    {"another height", 1, 0, 640, 240, RunningInterval, STATUS_INVALID_DEVICE_REQUEST, false},
    {"wider packed YUV", 1, 0, 648, 480, RunningInterval, STATUS_SUCCESS, true},
    {"narrower", 1, 0, 632, 480, RunningInterval, STATUS_INVALID_DEVICE_REQUEST, false},
    {"wider RGB24", 1, 1, 648, 480, RunningInterval, STATUS_INVALID_DEVICE_REQUEST, false},
    {"wider Y800", 1, 6, 648, 480, RunningInterval, STATUS_INVALID_DEVICE_REQUEST, false},
    // 352 x 288 YV16 and 360 x 288 share no rows, whatever their sample sizes.
    {"wider planar PAL", 2, 17, 360, 288, RunningInterval, STATUS_INVALID_DEVICE_REQUEST, false},
    {"top-down Y800 resent", 1, 23, 480, -640, RunningInterval, STATUS_SUCCESS, false},
    {"top-down UYVY resent", 1, 21, 480, -640, RunningInterval, STATUS_SUCCESS, false},
    {"top-down UYVY wider", 1, 21, 496, -640, RunningInterval, STATUS_SUCCESS, true},
    {"interval left open", 1, 0, 640, 480, 0, STATUS_SUCCESS, false},
    {"interval of the running rate", 1, 0, 640, 480, 340000, STATUS_SUCCESS, false},
    {"interval of another rate", 1, 0, 640, 480, 666667, STATUS_INVALID_DEVICE_REQUEST, false},
    {"PAL interval of the running rate", 2, 14, 352, 288, 410000, STATUS_SUCCESS, false},
};

TEST_F(PinSystemTest, RunningPinTakesOnlyChangesItsStreamCanTake) {
    StartBoard();
    for (const RunningChange& c : RunningChanges) {
        SCOPED_TRACE(c.name);
        host::SetServiceDword(Parameters, L"FixedStandard", c.standard);
        PinStream& stream = OpenStream(0, 0);
        ASSERT_EQ(stream.Connect(CatalogueRange(c.standard, c.row)), STATUS_SUCCESS);
        ASSERT_EQ(stream.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        const uint64_t modesSent = models[0]->Counters().setMode;
        host::ClearDebugLog();
        KS_DATAFORMAT_VIDEOINFOHEADER next = stream.format();
        KS_BITMAPINFOHEADER& bitmap = next.VideoInfoHeader.bmiHeader;
        bitmap.biWidth = c.width;
        bitmap.biHeight = c.height;
        bitmap.biSizeImage = ULONG(c.width * std::abs(c.height) * bitmap.biBitCount / 8);
        if (c.interval != RunningInterval) {
            next.VideoInfoHeader.AvgTimePerFrame = c.interval;
        }
        EXPECT_EQ(host::ks::SetPinDataFormat(stream.pin(), &next.DataFormat), c.expected);
        EXPECT_EQ(host::DebugLogCount("padding"), c.padding ? 1u : 0u);
        EXPECT_EQ(models[0]->Counters().setMode, modesSent);
        if (c.expected == STATUS_SUCCESS) {
            // The stream takes what was accepted, at the rate it runs at.
            stream.MakeBuffers(2, bitmap.biSizeImage);
            ASSERT_EQ(stream.QueueAll(), STATUS_SUCCESS);
            ReceivedFrame frame;
            ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
            EXPECT_EQ(frame.header.DataUsed, bitmap.biSizeImage);
            EXPECT_EQ(frame.header.Duration, stream.format().VideoInfoHeader.AvgTimePerFrame);
        }
        const KS_DATAFORMAT_VIDEOINFOHEADER connected = ConnectedFormat(stream);
        EXPECT_EQ(connected.VideoInfoHeader.AvgTimePerFrame,
                  stream.format().VideoInfoHeader.AvgTimePerFrame);
        stream.Close();
    }
}

// A change the pin cannot keep a copy of is refused: the stream goes on in
// the format it has, which is also the one the class reports.
TEST_F(PinSystemTest, RunningChangeWithoutMemoryKeepsTheFormat) {
    StartBoard();
    PinStream& stream = OpenStream(0, 0);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 4)), STATUS_SUCCESS); // 640 x 480 YUY2
    stream.MakeBuffers(2, 656 * 480 * 2);
    ASSERT_EQ(stream.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER wide = stream.format();
    wide.VideoInfoHeader.bmiHeader.biWidth = 656;
    wide.VideoInfoHeader.bmiHeader.biSizeImage = 656 * 480 * 2;
    host::FailAllocationsWithTag(FormatCopyTags[0]);
    EXPECT_EQ(host::ks::SetPinDataFormat(stream.pin(), &wide.DataFormat),
              STATUS_INSUFFICIENT_RESOURCES);
    host::ClearPoolFaults();
    ASSERT_EQ(stream.QueueAll(), STATUS_SUCCESS);
    ReceivedFrame frame;
    ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.header.DataUsed, 640u * 480u * 2u);
}

// A client that keeps changing a running pin's format, while frames flow,
// holds the pin's newest copy of it and no more.
TEST_F(PinSystemTest, RunningChangesKeepOneFormatCopy) {
    StartBoard();
    PinStream& stream = OpenStream(0, 0);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 0)), STATUS_SUCCESS); // 640 x 480 UYVY
    stream.MakeBuffers(3, 656 * 480 * 2);
    ASSERT_EQ(stream.Run(), STATUS_SUCCESS);
    std::atomic<bool> done{false};
    std::atomic<size_t> frames{0};
    std::thread consumer([&] {
        ReceivedFrame frame;
        while (!done.load() && stream.Next(&frame, 2s) == STATUS_SUCCESS) {
            frames.fetch_add(1);
            stream.Queue(frame.buffer);
        }
    });
    // The first change pads the rows, the others resend the padded format.
    KS_DATAFORMAT_VIDEOINFOHEADER wide = stream.format();
    wide.VideoInfoHeader.bmiHeader.biWidth = 656;
    wide.VideoInfoHeader.bmiHeader.biSizeImage = 656 * 480 * 2;
    for (int k = 0; k < 60; ++k) {
        NTSTATUS status = host::ks::SetPinDataFormat(stream.pin(), &wide.DataFormat);
        EXPECT_EQ(status, STATUS_SUCCESS) << "change " << k;
        const size_t seen = frames.load();
        if (status != STATUS_SUCCESS ||
            (k % 10 == 9 && !m4350::WaitUntil([&] { return frames.load() > seen; }, 10s))) {
            ADD_FAILURE() << "frames stopped at change " << k;
            break;
        }
    }
    done = true;
    consumer.join();
    EXPECT_EQ(host::PoolLiveCount(FormatCopyTags[0]), 1u);
}

// A stopped pin's new format sizes the buffers its clients allocate from
// the framing, and the frames fill them.
TEST_F(PinSystemTest, StoppedPinsNewFormatSizesItsFraming) {
    StartBoard();
    PinStream& stream = OpenStream(0, 2);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 14)), STATUS_SUCCESS); // 320 x 240 UYVY
    KS_DATAFORMAT_VIDEOINFOHEADER full{};
    ULONG size = 0;
    ASSERT_EQ(host::ks::IntersectDataRange(stream.filter(), 0, &CatalogueRange(1, 0).DataRange,
                                           &full, sizeof(full), &size),
              STATUS_SUCCESS);
    ASSERT_EQ(host::ks::SetPinDataFormat(stream.pin(), &full.DataFormat), STATUS_SUCCESS);
    const KS_FRAMING_ITEM item = stream.Framing().FramingItem[0];
    EXPECT_EQ(item.FramingRange.Range.MinFrameSize, 614400u);
    EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, 614400u);
    EXPECT_EQ(item.PhysicalRange.MaxFrameSize, 614400u);
    stream.MakeBuffers(2);
    ASSERT_EQ(stream.Run(), STATUS_SUCCESS);
    ReceivedFrame frame;
    ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.header.DataUsed, 614400u);
}

// A frame interval too long for a time stamp of the later frames stamps
// them with the latest time there is, never a wrapped one.
TEST_F(PinSystemTest, TimeStampsOfAHugeIntervalSaturate) {
    SimulatedBoard& board = StartBoard();
    PinStream& stream = OpenStream(0, 1);
    // A standard the mapping does not know keeps the requested interval.
    ModeSettings mode = ChannelMode(board, 1);
    mode.format = 0;
    ASSERT_EQ(setMode(board.device()->board, 1, &mode), 0);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 20),
                             [](KS_DATAFORMAT_VIDEOINFOHEADER& f) {
                                 f.VideoInfoHeader.AvgTimePerFrame =
                                     std::numeric_limits<LONGLONG>::max() / 2 + 1;
                             }),
              STATUS_SUCCESS);
    stream.MakeBuffers(6);
    ASSERT_EQ(stream.Run(), STATUS_SUCCESS);
    LONGLONG previous = -1;
    for (int k = 0; k < 4; ++k) {
        ReceivedFrame frame;
        ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
        const LONGLONG number = frame.info.PictureNumber;
        const LONGLONG time = frame.header.PresentationTime.Time;
        EXPECT_EQ(time, number == 1   ? 0
                        : number == 2 ? std::numeric_limits<LONGLONG>::max() / 2 + 1
                                      : std::numeric_limits<LONGLONG>::max())
            << "frame " << number;
        EXPECT_GE(time, previous);
        previous = time;
        ASSERT_EQ(stream.Queue(frame.buffer), STATUS_SUCCESS);
    }
}

// A 656-wide YUY2 format on a full-size channel: each 640-pixel row comes
// with 16 pixels of zero bytes, in a buffer that holds them; a buffer that
// does not is handed back empty.
TEST_F(PinSystemTest, WiderPackedFormatPadsEveryRowWithinTheBuffer) {
    StartBoard();
    PinStream& stream = OpenStream(0, 1);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 4)), STATUS_SUCCESS);
    constexpr ULONG padded = 656 * 480 * 2;
    stream.MakeBuffers(2, padded);
    ASSERT_EQ(stream.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER wide = stream.format();
    wide.VideoInfoHeader.bmiHeader.biWidth = 656;
    wide.VideoInfoHeader.bmiHeader.biSizeImage = padded;
    ASSERT_EQ(host::ks::SetPinDataFormat(stream.pin(), &wide.DataFormat), STATUS_SUCCESS);
    ASSERT_EQ(stream.QueueAll(), STATUS_SUCCESS);
    ReceivedFrame frame;
    ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
    ASSERT_EQ(frame.header.DataUsed, padded);
    m4350::sim::FrameBuilder builder(2, models[0]->Mode(2));
    auto transfer = builder.Build(uint32_t(frame.info.PictureNumber));
    std::vector<uint8_t> expected(padded);
    reference::planarToPacked(transfer.data() + 512, expected.data(), 640, 480, 1, 16);
    EXPECT_EQ(frame.data, expected);

    // A buffer of the old size no longer holds a frame.
    stream.MakeBuffers(1, 640 * 480 * 2);
    ASSERT_EQ(stream.Queue(2), STATUS_SUCCESS);
    do {
        ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
    } while (frame.buffer != 2); // the second large buffer comes first
    EXPECT_EQ(frame.header.DataUsed, 0u);
    EXPECT_EQ(frame.header.OptionsFlags, OptionsTimeAndDuration);
}

// Bitmap headers no picture has are refused, at creation and as a change of
// a running pin: a biSize shorter than the header itself (the pin would copy
// that many bytes and read fields beyond them), and a height whose magnitude
// a LONG cannot hold.
TEST_F(PinSystemTest, MalformedBitmapHeadersAreRefused) {
    StartBoard();
    void (*const malform[])(KS_DATAFORMAT_VIDEOINFOHEADER&) = {
        [](KS_DATAFORMAT_VIDEOINFOHEADER& f) { f.VideoInfoHeader.bmiHeader.biSize = 0; },
        [](KS_DATAFORMAT_VIDEOINFOHEADER& f) {
            f.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER) - 1;
        },
        [](KS_DATAFORMAT_VIDEOINFOHEADER& f) {
            f.VideoInfoHeader.bmiHeader.biHeight = -MAXLONG - 1;
        },
    };
    for (auto adjust : malform) {
        PinStream& stream = OpenStream(0, 1);
        EXPECT_FALSE(NT_SUCCESS(stream.Connect(CatalogueRange(1, 4), adjust)));
        EXPECT_EQ(stream.pin(), nullptr);
    }
    PinStream& stream = OpenStream(0, 1);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 4)), STATUS_SUCCESS);
    stream.MakeBuffers(1);
    ASSERT_EQ(stream.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (auto adjust : malform) {
        KS_DATAFORMAT_VIDEOINFOHEADER format = stream.format();
        adjust(format);
        EXPECT_FALSE(NT_SUCCESS(host::ks::SetPinDataFormat(stream.pin(), &format.DataFormat)));
    }
}

// RGB32 at 640 x 480 needs 1 228 800 bytes: one byte less gets nothing.
TEST_F(PinSystemTest, Rgb32NeedsTheWholeFrameInTheBuffer) {
    StartBoard();
    for (ULONG extent : {1228799u, 1228800u}) {
        SCOPED_TRACE(extent);
        PinStream& stream = OpenStream(0, 0);
        ASSERT_EQ(stream.Connect(CatalogueRange(1, 2)), STATUS_SUCCESS);
        stream.MakeBuffers(1, extent);
        ASSERT_EQ(stream.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(stream.QueueAll(), STATUS_SUCCESS);
        ReceivedFrame frame;
        ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
        EXPECT_EQ(frame.header.DataUsed, extent == 1228800u ? 1228800u : 0u);
        // Each stream numbers from 1; a starved machine may lose frames
        // before the buffer is queued, and they count as drops.
        EXPECT_EQ(frame.info.PictureNumber, frame.info.DropCount + 1);
        stream.Close();
    }
}

TEST_F(PinSystemTest, SecondStreamOnAnOpenChannelIsRefusedWithTheCountRestored) {
    SimulatedBoard& board = StartBoard();
    PinStream& first = OpenStream(0, 2);
    PinStream& second = OpenStream(0, 2);
    ASSERT_EQ(first.Connect(CatalogueRange(1, 14)), STATUS_SUCCESS);
    ASSERT_EQ(second.Connect(CatalogueRange(1, 14)), STATUS_SUCCESS); // nothing streams yet
    ASSERT_EQ(first.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    const uint64_t modesSent = models[0]->Counters().setMode;
    EXPECT_EQ(second.SetState(KSSTATE_RUN), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(board.device()->openCount[2], 1);
    EXPECT_EQ(models[0]->Counters().setMode, modesSent);
    KSSTATE state = KSSTATE_RUN;
    ASSERT_EQ(host::ks::GetPinState(second.pin(), &state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);
    // Once the first has stopped, the second may stream.
    ASSERT_EQ(first.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(second.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
}

TEST_F(PinSystemTest, StartWithTheFormatAlreadySentSendsNothingMore) {
    StartBoard();
    PinStream& stream = OpenStream(0, 1);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 0)), STATUS_SUCCESS);
    const uint64_t modesSent = models[0]->Counters().setMode;
    host::ClearDebugLog();
    ASSERT_EQ(stream.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(models[0]->Counters().setMode, modesSent);
    EXPECT_EQ(host::DebugLogCount("mode restart"), 0u);
    EXPECT_EQ(host::DebugLogCount("connected color 2, mode color 2, m_bColor: 1"), 1u);
}

// Pause keeps acquisition running without taking frames; a stream resumed
// from Pause goes on counting, one restarted from Acquire starts at 1.
TEST_F(PinSystemTest, PauseResumesAndAcquireRestarts) {
    StartBoard();
    PinStream& stream = OpenStream(0, 0);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 13)), STATUS_SUCCESS); // 640 x 240 Y800
    stream.MakeBuffers(6);
    ASSERT_EQ(stream.Run(), STATUS_SUCCESS);
    BoardFrames frames = Frames(0, 3);
    ExpectFrames(stream, frames, 3);
    const auto before = models[0]->Counters();

    ASSERT_EQ(stream.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_TRUE(models[0]->WaitFor(
        [&](const auto& c) { return c.frames[3] >= before.frames[3] + 3; }, 10s));
    ASSERT_EQ(stream.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ReceivedFrame frame;
    ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.info.PictureNumber, frames.lastPicture() + 1)
        << "frames seen while paused are not counted";
    // The fourth delivery of this start: only frames lost before it (a
    // starved machine overruns the frame store) are drops.
    EXPECT_EQ(frame.info.DropCount, frame.info.PictureNumber - 4);
    EXPECT_EQ(models[0]->Counters().start, before.start);
    ASSERT_EQ(stream.Queue(frame.buffer), STATUS_SUCCESS);

    ASSERT_EQ(stream.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(models[0]->Counters().stop, before.stop + 1);
    // Whatever was already taken before the stop drains first.
    ASSERT_EQ(stream.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    while (stream.Next(&frame, 200ms) == STATUS_SUCCESS) {
    }
    ASSERT_EQ(stream.Run(), STATUS_SUCCESS);
    ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.info.PictureNumber, frame.info.DropCount + 1);
    EXPECT_EQ(frame.header.PresentationTime.Time,
              (frame.info.PictureNumber - 1) * stream.format().VideoInfoHeader.AvgTimePerFrame);
    EXPECT_EQ(models[0]->Counters().start, before.start + 1);
}

// Pause -> Acquire -> Run without passing Stop: the new start numbers its
// frames from 1 again, and a drop after it counts from the new start's
// deliveries, not the old one's.
TEST_F(PinSystemTest, RunAfterAcquireFromPauseCountsFromTheNewStart) {
    StartBoard();
    PinStream& stream = OpenStream(0, 0);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 13)), STATUS_SUCCESS); // 640 x 240 Y800
    stream.MakeBuffers(6);
    // Each start fills the six buffers queued before it, and none is queued
    // again, so no frame of a start comes after it. Every drop a start
    // reports counts against that start's own deliveries.
    auto fillAll = [&] {
        ReceivedFrame frame;
        for (LONGLONG k = 1; k <= 6; ++k) {
            EXPECT_EQ(stream.Next(&frame), STATUS_SUCCESS);
            EXPECT_EQ(frame.info.DropCount, frame.info.PictureNumber - k);
        }
        return frame;
    };
    ASSERT_EQ(stream.Run(), STATUS_SUCCESS);
    fillAll();
    ASSERT_EQ(stream.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(stream.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(stream.Run(), STATUS_SUCCESS); // through Pause, where the buffers are queued
    const ReceivedFrame sixth = fillAll();
    // The board's next frames find no buffer: six fill the channel's frame
    // store, the ones after them take the buffers of the oldest, which are
    // lost.
    const uint64_t sent = models[0]->Counters().frames[3];
    ASSERT_TRUE(models[0]->WaitFor([&](const auto& c) { return c.frames[3] >= sent + 10; }, 10s));
    const size_t last = sixth.buffer;
    ASSERT_EQ(stream.Queue(last), STATUS_SUCCESS);
    ReceivedFrame frame;
    ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
    EXPECT_GT(frame.info.PictureNumber, sixth.info.PictureNumber + 1);
    EXPECT_EQ(frame.info.DropCount, frame.info.PictureNumber - 7);
}

TEST_F(PinSystemTest, PreviewModeStampsNoTime) {
    host::SetServiceDword(Parameters, L"PreviewMode", 1);
    StartBoard();
    PinStream& stream = OpenStream(0, 3);
    ASSERT_EQ(stream.Connect(CatalogueRange(1, 20)), STATUS_SUCCESS);
    stream.MakeBuffers(3);
    ASSERT_EQ(stream.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(stream.QueueAll(), STATUS_SUCCESS);
    for (LONGLONG k = 1; k <= 3; ++k) {
        ReceivedFrame frame;
        ASSERT_EQ(stream.Next(&frame), STATUS_SUCCESS);
        EXPECT_EQ(frame.header.OptionsFlags, 0u);
        EXPECT_EQ(frame.header.PresentationTime.Time, 0);
        EXPECT_EQ(frame.header.Duration, 333667);
        EXPECT_EQ(frame.info.PictureNumber, k + frame.info.DropCount);
    }
}

} // namespace
} // namespace m4350test
