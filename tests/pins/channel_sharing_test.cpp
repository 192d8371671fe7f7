// One channel, several filter instances: each may hold a pin, one at a time
// may stream, and whatever the others do leaves a started stream, its
// channel's standard and its mode alone.
#include "pin_system_fixture.h"

#include "device/capture_device.h"
#include "device/pool_tags.h"

#include <host/kernel.h>

#include <host/services.h>
#include <sim/fault_plan.h>

#include <atomic>
#include <thread>

namespace m4350test {
namespace {

using namespace std::chrono_literals;

// A property set whose structure is both the request and the data, as the
// capture property sets take it.
template <typename Structure>
NTSTATUS SetWhole(HANDLE filter, const GUID& set, ULONG id, Structure request) {
    request.Property.Set = set;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_SET;
    ULONG returned = 0;
    return host::ks::DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof(request), &request,
                                     sizeof(request), &returned);
}

NTSTATUS SetStandard(HANDLE filter, ULONG standard) {
    KSPROPERTY_VIDEODECODER_S request{};
    request.Value = standard;
    return SetWhole(filter, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD,
                    request);
}

KS_DATAFORMAT_VIDEOINFOHEADER IntersectedFormat(HANDLE filter, const KS_DATARANGE_VIDEO& range) {
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    ULONG size = 0;
    EXPECT_EQ(
        host::ks::IntersectDataRange(filter, 0, &range.DataRange, &format, sizeof(format), &size),
        STATUS_SUCCESS);
    return format;
}

// A stream starts with the orientation of its own format, whatever a pin of
// another filter of the channel negotiated after it.
struct OrientationCase {
    const char* name;
    ULONG streamRow; // NTSC rows
    ULONG otherRow;
};

const OrientationCase Orientations[] = {
    {"top-down portrait after an upright format", 23, 6},      // 480 x -640 Y800, 640 x 480
    {"quarter size after its portrait", 14, 36},               // 320 x 240 UYVY, 240 x 320
    {"bottom-up portrait after a top-down one", 32, 23},       // 480 x 640 Y800, 480 x -640
    {"top-down field portrait after an upright field", 24, 7}, // 480 x -320 UYVY, 640 x 240
};

TEST_F(PinSystemTest, AStreamStartsWithTheOrientationOfItsOwnFormat) {
    StartBoard();
    for (const OrientationCase& c : Orientations) {
        SCOPED_TRACE(c.name);
        PinStream& streaming = OpenStream(0, 1);
        ASSERT_EQ(streaming.Connect(CatalogueRange(1, c.streamRow)), STATUS_SUCCESS);
        PinStream& other = OpenStream(0, 1);
        ASSERT_EQ(other.Connect(CatalogueRange(1, c.otherRow)), STATUS_SUCCESS);
        streaming.MakeBuffers(6);
        ASSERT_EQ(streaming.Run(), STATUS_SUCCESS);
        BoardFrames frames = Frames(0, 2);
        ExpectFrames(streaming, frames, 3);
        streaming.Close();
        other.Close();
    }
}

// The standard cannot change under a pin: closing one of two pins of the
// channel leaves the other, and the colour switch still treats the channel
// as one with a pin.
TEST_F(PinSystemTest, TheStandardStaysWhileAnyFilterOfTheChannelHoldsAPin) {
    SimulatedBoard& board = StartBoard();
    PinStream& kept = OpenStream(0, 2);
    ASSERT_EQ(kept.Connect(CatalogueRange(1, 0)), STATUS_SUCCESS); // 640 x 480 UYVY
    PinStream& closed = OpenStream(0, 2);
    ASSERT_EQ(closed.Connect(CatalogueRange(1, 0)), STATUS_SUCCESS);
    closed.Close();
    EXPECT_EQ(SetStandard(kept.filter(), KS_AnalogVideo_PAL_B), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ChannelMode(board, 2).format, FormatNtsc);
    KSPROPERTY_VIDEOPROCAMP_S colourOff{};
    ASSERT_EQ(SetWhole(kept.filter(), PROPSETID_VIDCAP_VIDEOPROCAMP,
                       KSPROPERTY_VIDEOPROCAMP_COLORENABLE, colourOff),
              STATUS_SUCCESS);
    EXPECT_EQ(ChannelMode(board, 2).color & 0xFF, ColorMono) << "the pin's channel goes grey";
    kept.Close();
    EXPECT_EQ(SetStandard(OpenStream(0, 2).filter(), KS_AnalogVideo_PAL_B), STATUS_SUCCESS);
}

// A creation that fails after its SetDataFormat counted the pin leaves the
// count as it found it: the standard is free to change again.
TEST_F(PinSystemTest, AFailedCreationLeavesTheStandardFree) {
    SimulatedBoard& board = StartBoard();
    PinStream& stream = OpenStream(0, 1);
    host::FailAllocationsWithTag(FormatCopyTags[1]);
    EXPECT_EQ(stream.Connect(CatalogueRange(1, 0)), STATUS_INSUFFICIENT_RESOURCES);
    host::ClearPoolFaults();
    EXPECT_EQ(board.device()->pinCount[1], 0);
    EXPECT_EQ(SetStandard(stream.filter(), KS_AnalogVideo_PAL_B), STATUS_SUCCESS);
}

// A standard set that meets a pin being created waits for the creation and
// then finds the pin: the pin keeps the standard it was negotiated in. The
// board withholds the creation's acknowledgement, which keeps the creation
// going long enough to be met.
TEST_F(PinSystemTest, TheStandardStaysForAPinBeingCreated) {
    SimulatedBoard& board = StartBoard();
    PinStream& creating = OpenStream(0, 1);
    PinStream& setting = OpenStream(0, 1);
    models[0]->AddFault({.fault = m4350::sim::Fault::WithholdAck, .count = 1});
    host::ClearDebugLog();
    NTSTATUS created = STATUS_PENDING;
    std::thread create([&] { created = creating.Connect(CatalogueRange(1, 0)); });
    const bool sending = host::WaitForDebugLog("restart: 0x1", 1, 10s);
    const NTSTATUS standard = SetStandard(setting.filter(), KS_AnalogVideo_PAL_B);
    create.join();
    ASSERT_TRUE(sending);
    ASSERT_EQ(created, STATUS_SUCCESS);
    EXPECT_EQ(standard, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ChannelMode(board, 1).format, FormatNtsc);
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    ULONG size = 0;
    EXPECT_EQ(host::ks::IntersectDataRange(setting.filter(), 0, &CatalogueRange(1, 0).DataRange,
                                           &format, sizeof(format), &size),
              STATUS_SUCCESS)
        << "the channel still offers NTSC";
}

// One filter starts and stops its stream over and over while another filter
// of the channel keeps creating pins of another geometry. A pin is refused
// while the channel streams; one created between the streams never reshapes
// a stream that has started.
TEST_F(PinSystemTest, PinsOfAnotherFilterNeverReshapeAStartedStream) {
    SimulatedBoard& board = StartBoard();
    PinStream& streaming = OpenStream(0, 3);
    ASSERT_EQ(streaming.Connect(CatalogueRange(1, 23)), STATUS_SUCCESS); // 480 x -640 Y800
    streaming.MakeBuffers(6);
    PinStream& other = OpenStream(0, 3);
    const KS_DATAFORMAT_VIDEOINFOHEADER upright =
        IntersectedFormat(other.filter(), CatalogueRange(1, 6)); // 640 x 480 Y800
    std::atomic<bool> done{false};
    std::atomic<size_t> created{0}, refused{0};
    std::thread creator([&] {
        while (!done.load()) {
            HANDLE pin = nullptr;
            NTSTATUS status = host::ks::CreatePin(other.filter(), 0, &upright.DataFormat, &pin);
            if (NT_SUCCESS(status)) {
                created.fetch_add(1);
                host::ks::CloseHandle(pin);
            } else {
                EXPECT_EQ(status, STATUS_SHARING_VIOLATION);
                refused.fetch_add(1);
            }
        }
    });
    Board* b = board.device()->board;
    for (int round = 0; round < 25 && !HasFatalFailure(); ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(streaming.Run(), STATUS_SUCCESS);
        EXPECT_EQ(getRotate(b, 3), 1u);
        EXPECT_EQ(getTopDown(b, 3), 1u);
        EXPECT_EQ(ChannelMode(board, 3).color & 0xFF, ColorMono);
        BoardFrames frames = Frames(0, 0);
        ExpectFrames(streaming, frames, 1);
        EXPECT_EQ(getRotate(b, 3), 1u);
        EXPECT_EQ(ChannelMode(board, 3).scale, 1u);
        ASSERT_EQ(streaming.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        ReceivedFrame cancelled;
        while (streaming.Next(&cancelled, 0ms) == STATUS_SUCCESS) {
        }
    }
    done = true;
    creator.join();
    EXPECT_GT(created.load(), 0u);
    EXPECT_GT(refused.load(), 0u);
}

// Opening a filter aligns its channel with the fixed standard only while no
// pin of the channel exists: a streaming channel, or one with a pin waiting
// to stream, keeps its mode and the board hears nothing.
struct AlignmentCase {
    const char* name;
    bool pin, streaming;
};

const AlignmentCase Alignments[] = {
    {"idle channel", false, false},
    {"channel with a pin", true, false},
    {"streaming channel", true, true},
};

TEST_F(PinSystemTest, AFilterAlignsOnlyAChannelWithoutPinsWithTheFixedStandard) {
    for (const AlignmentCase& c : Alignments) {
        SCOPED_TRACE(c.name);
        host::SetServiceDword(Parameters, L"FixedStandard", 0);
        // Every case starts NTSC, whatever the case before saved.
        SaveStandards(0, {FormatNtsc, FormatNtsc, FormatNtsc, FormatNtsc});
        SimulatedBoard& board = StartBoard();
        PinStream& first = OpenStream(0, 2);
        if (c.pin) {
            ASSERT_EQ(first.Connect(CatalogueRange(1, 0)), STATUS_SUCCESS);
        }
        if (c.streaming) {
            first.MakeBuffers(6);
            ASSERT_EQ(first.Run(), STATUS_SUCCESS);
        }
        const uint64_t modesSent = models.back()->Counters().setMode;
        host::SetServiceDword(Parameters, L"FixedStandard", 2);
        host::ClearDebugLog();
        PinStream& second = OpenStream(0, 2);
        const bool aligned = !c.pin;
        EXPECT_EQ(host::DebugLogCountContaining("set mode A: "), aligned ? 1u : 0u);
        EXPECT_EQ(ChannelMode(board, 2).format, aligned ? FormatPal : FormatNtsc);
        EXPECT_EQ(models.back()->Counters().setMode, modesSent + (aligned ? 1 : 0));
        // The new filter offers the list of the channel's standard.
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        ULONG size = 0;
        EXPECT_EQ(host::ks::IntersectDataRange(second.filter(), 0,
                                               &CatalogueRange(aligned ? 2 : 1, 0).DataRange,
                                               &format, sizeof(format), &size),
                  STATUS_SUCCESS);
        if (c.streaming) {
            BoardFrames frames = Frames(models.size() - 1, 1);
            ExpectFrames(first, frames, 3);
        }
        streams.clear();
        system->Remove(board);
    }
}

} // namespace
} // namespace m4350test
