// Pins of the streaming class: creation, formats, states and streaming.
#include "ks_test.h"

#include <algorithm>
#include <cstring>
#include <thread>

using ktest::TheJournal;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> EventsStartingWith(const std::string& prefix) {
    std::vector<std::string> out;
    for (auto& e : TheJournal().Events()) {
        if (e.rfind(prefix, 0) == 0) {
            out.push_back(e);
        }
    }
    return out;
}

} // namespace

class KsPinTest : public KsTest {
protected:
    void SetUp() override {
        KsTest::SetUp();
        StartDevice();
        filter_ = OpenFilter();
    }

    HANDLE NewPin() {
        HANDLE pin = nullptr;
        EXPECT_EQ(CreatePin(filter_, ktest::RangeUyvy(), &pin), STATUS_SUCCESS);
        return pin;
    }

    // A buffer with a frame-info extension the driver fills in.
    struct Buffer {
        host::ks::StreamBuffer buffer{ktest::kStreamHeaderSize, 64};
        Buffer() {
            reinterpret_cast<PKS_FRAME_INFO>(buffer.Header() + 1)->ExtendedHeaderSize =
                sizeof(KS_FRAME_INFO);
        }
    };

    HANDLE filter_ = nullptr;
};

TEST_F(KsPinTest, SetDataFormatRunsBeforeCreateWithTheFilterContext) {
    HANDLE pin = NewPin();
    ASSERT_NE(pin, nullptr);
    auto events = TheJournal().Events();
    auto set = std::find(events.begin(), events.end(), "SetDataFormat");
    auto create = std::find(events.begin(), events.end(), "PinCreate");
    ASSERT_NE(set, events.end());
    EXPECT_LT(set, create);
    EXPECT_EQ(TheJournal().pinContextAtSetFormat, TheJournal().filterContext);
    EXPECT_EQ(TheJournal().pinContextAtCreate, TheJournal().filterContext);
    EXPECT_EQ(TheJournal().rangeAtSetFormat,
              reinterpret_cast<const KSDATARANGE*>(&ktest::RangeUyvy()));
    EXPECT_TRUE(TheJournal().oldFormats.at(0).empty());
    EXPECT_EQ(
        std::count(events.begin(), events.end(), "PinCreate: the IRP does not lead to the pin"), 0);
}

TEST_F(KsPinTest, PinKeepsACopyOfItsFormatAndEditsItsOwnDescriptor) {
    NewPin();
    PKSPIN pin = TheJournal().pin;
    ASSERT_NE(pin, nullptr);
    KS_DATAFORMAT_VIDEOINFOHEADER expected = FormatOf(ktest::RangeUyvy());
    EXPECT_EQ(std::memcmp(pin->ConnectionFormat, &expected, sizeof(expected)), 0);
    EXPECT_NE(pin->Descriptor, &ktest::CapturePinDescriptor());
    EXPECT_EQ(pin->Descriptor->AllocatorFraming->FramingItem[0].Frames, 6u);
    EXPECT_EQ(ktest::CapturePinDescriptor().AllocatorFraming->FramingItem[0].Frames, 2u);
    EXPECT_EQ(KsGetDevice(pin), host::ks::KsDeviceOf(device_));
    EXPECT_EQ(KsPinGetParentFilter(pin)->Context, TheJournal().filterContext);
}

TEST_F(KsPinTest, FormatsOutsideThePinsRangesAreRefusedBeforeTheDriverSeesThem) {
    struct Case {
        const char* what;
        void (*spoil)(KS_DATAFORMAT_VIDEOINFOHEADER&);
        NTSTATUS expected;
    } cases[] = {
        {"major", [](auto& f) { f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_STREAM; },
         STATUS_NO_MATCH},
        {"subtype", [](auto& f) { f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_MJPG; },
         STATUS_NO_MATCH},
        {"specifier", [](auto& f) { f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_NONE; },
         STATUS_NO_MATCH},
        {"short", [](auto& f) { f.DataFormat.FormatSize = 20; }, STATUS_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        KS_DATAFORMAT_VIDEOINFOHEADER format = FormatOf(ktest::RangeUyvy());
        c.spoil(format);
        HANDLE pin = nullptr;
        EXPECT_EQ(host::ks::CreatePin(filter_, 0, &format.DataFormat, &pin), c.expected) << c.what;
        EXPECT_EQ(pin, nullptr);
    }
    EXPECT_TRUE(EventsStartingWith("SetDataFormat").empty());
    EXPECT_EQ(host::ks::LiveObjectCounts().pins, 0);
}

TEST_F(KsPinTest, SecondRangeMatchesAndInstancesPossibleIsEnforced) {
    HANDLE first = nullptr;
    ASSERT_EQ(CreatePin(filter_, ktest::RangeYuy2(), &first), STATUS_SUCCESS);
    EXPECT_EQ(TheJournal().rangeAtSetFormat,
              reinterpret_cast<const KSDATARANGE*>(&ktest::RangeYuy2()));
    HANDLE second = nullptr;
    EXPECT_EQ(CreatePin(filter_, ktest::RangeUyvy(), &second), STATUS_UNSUCCESSFUL);
    Close(first);
    EXPECT_EQ(CreatePin(filter_, ktest::RangeUyvy(), &second), STATUS_SUCCESS);
}

TEST_F(KsPinTest, FailingSetDataFormatOrCreateFailsThePinAndFreesItsBag) {
    size_t poolBefore = host::PoolLiveCount();
    for (NTSTATUS ktest::Journal::*knob :
         {&ktest::Journal::setFormatStatus, &ktest::Journal::pinCreateStatus}) {
        TheJournal().*knob = STATUS_NO_MATCH;
        HANDLE pin = nullptr;
        EXPECT_EQ(CreatePin(filter_, ktest::RangeUyvy(), &pin), STATUS_NO_MATCH);
        TheJournal().*knob = STATUS_SUCCESS;
    }
    EXPECT_EQ(host::ks::LiveObjectCounts().pins, 0);
    EXPECT_EQ(host::PoolLiveCount(), poolBefore) << host::PoolLeakReport();
}

TEST_F(KsPinTest, FormatChangeOnAPinPassesTheOldFormat) {
    HANDLE pin = NewPin();
    KS_DATAFORMAT_VIDEOINFOHEADER next = FormatOf(ktest::RangeYuy2());
    ASSERT_EQ(host::ks::SetPinDataFormat(pin, &next.DataFormat), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER old = FormatOf(ktest::RangeUyvy());
    ASSERT_EQ(TheJournal().oldFormats.size(), 2u);
    ASSERT_EQ(TheJournal().oldFormats[1].size(), sizeof(old));
    EXPECT_EQ(std::memcmp(TheJournal().oldFormats[1].data(), &old, sizeof(old)), 0);
    EXPECT_EQ(std::memcmp(TheJournal().pin->ConnectionFormat, &next, sizeof(next)), 0);

    // A refused change leaves the connection format as it was.
    TheJournal().setFormatStatus = STATUS_INVALID_DEVICE_REQUEST;
    KS_DATAFORMAT_VIDEOINFOHEADER back = FormatOf(ktest::RangeUyvy());
    EXPECT_EQ(host::ks::SetPinDataFormat(pin, &back.DataFormat), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(std::memcmp(TheJournal().pin->ConnectionFormat, &next, sizeof(next)), 0);
}

struct StateWalk {
    KSSTATE first; // reached before the walk under test
    KSSTATE target;
    int failTo; // -1: nothing fails
    NTSTATUS result;
    KSSTATE reached;
    std::vector<std::string> steps;
};

class KsStateWalkTest : public KsPinTest, public ::testing::WithParamInterface<StateWalk> {};

TEST_P(KsStateWalkTest, WalksOneStepAtATimeAndStopsAtAFailure) {
    const StateWalk& w = GetParam();
    HANDLE pin = NewPin();
    ASSERT_EQ(host::ks::SetPinState(pin, w.first), STATUS_SUCCESS);
    size_t before = EventsStartingWith("SetDeviceState").size();
    TheJournal().failStateTo = w.failTo;
    EXPECT_EQ(host::ks::SetPinState(pin, w.target), w.result);
    auto steps = EventsStartingWith("SetDeviceState");
    steps.erase(steps.begin(), steps.begin() + static_cast<long>(before));
    EXPECT_EQ(steps, w.steps);
    KSSTATE state;
    ASSERT_EQ(host::ks::GetPinState(pin, &state), STATUS_SUCCESS);
    EXPECT_EQ(state, w.reached);
    TheJournal().failStateTo = -1;
}

INSTANTIATE_TEST_SUITE_P(
    Walks, KsStateWalkTest,
    ::testing::Values(StateWalk{KSSTATE_STOP,
                                KSSTATE_RUN,
                                -1,
                                STATUS_SUCCESS,
                                KSSTATE_RUN,
                                {"SetDeviceState 1 0", "SetDeviceState 2 1", "SetDeviceState 3 2"}},
                      StateWalk{KSSTATE_RUN,
                                KSSTATE_STOP,
                                -1,
                                STATUS_SUCCESS,
                                KSSTATE_STOP,
                                {"SetDeviceState 2 3", "SetDeviceState 1 2", "SetDeviceState 0 1"}},
                      StateWalk{KSSTATE_ACQUIRE,
                                KSSTATE_PAUSE,
                                -1,
                                STATUS_SUCCESS,
                                KSSTATE_PAUSE,
                                {"SetDeviceState 2 1"}},
                      StateWalk{KSSTATE_STOP,
                                KSSTATE_RUN,
                                KSSTATE_PAUSE,
                                STATUS_UNSUCCESSFUL,
                                KSSTATE_ACQUIRE,
                                {"SetDeviceState 1 0", "SetDeviceState 2 1"}},
                      StateWalk{KSSTATE_RUN,
                                KSSTATE_STOP,
                                KSSTATE_ACQUIRE,
                                STATUS_UNSUCCESSFUL,
                                KSSTATE_PAUSE,
                                {"SetDeviceState 2 3", "SetDeviceState 1 2"}},
                      StateWalk{
                          KSSTATE_PAUSE, KSSTATE_PAUSE, -1, STATUS_SUCCESS, KSSTATE_PAUSE, {}}));

TEST_F(KsPinTest, ProcessRunsOnArrivalOnlyInRunAndHandsBackTheDriversHeader) {
    HANDLE pin = NewPin();
    Buffer buffers[3];
    EXPECT_EQ(host::ks::QueueBuffer(pin, buffers[0].buffer.Header()), STATUS_INVALID_DEVICE_STATE)
        << "buffers are refused in Stop";
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    TheJournal().framesReady = 3;
    for (auto& b : buffers) {
        ASSERT_EQ(host::ks::QueueBuffer(pin, b.buffer.Header()), STATUS_SUCCESS);
    }
    KsPinAttemptProcessing(TheJournal().pin, FALSE);
    host::ks::CompletedFrame frame;
    EXPECT_EQ(host::ks::WaitForFrame(pin, 50ms, &frame), STATUS_TIMEOUT);
    EXPECT_EQ(TheJournal().processCalls.load(), 0) << "processed in Pause";

    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    for (LONGLONG n = 1; n <= 3; ++n) {
        ASSERT_EQ(host::ks::WaitForFrame(pin, 5s, &frame), STATUS_SUCCESS);
        EXPECT_EQ(frame.Status, STATUS_SUCCESS);
        ASSERT_EQ(frame.HeaderSize, ktest::kStreamHeaderSize);
        EXPECT_EQ(frame.Header()->DataUsed, 16u);
        EXPECT_EQ(frame.Header()->PresentationTime.Time, n * 333667);
        auto* info = static_cast<const KS_FRAME_INFO*>(frame.Extension());
        EXPECT_EQ(info->PictureNumber, n);
        EXPECT_EQ(buffers[n - 1].buffer.Data()[0], static_cast<unsigned char>(n));
    }
    EXPECT_EQ(TheJournal().processOutsideRun.load(), 0);
    EXPECT_EQ(TheJournal().processAbovePassive.load(), 0);
}

TEST_F(KsPinTest, AttemptProcessingAtDispatchLevelFromAnotherThreadRunsProcess) {
    HANDLE pin = NewPin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    Buffer b;
    ASSERT_EQ(host::ks::QueueBuffer(pin, b.buffer.Header()), STATUS_SUCCESS);
    // The arrival found no frame; the "hardware" completes one later.
    ASSERT_TRUE(m4350::WaitUntil([] { return TheJournal().processCalls.load() >= 1; }));
    host::ks::CompletedFrame frame;
    EXPECT_EQ(host::ks::WaitForFrame(pin, 20ms, &frame), STATUS_TIMEOUT);

    std::thread dpc([] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        TheJournal().framesReady = 1;
        KsPinAttemptProcessing(TheJournal().pin, FALSE);
        KeReleaseSpinLock(&lock, old);
    });
    dpc.join();
    ASSERT_EQ(host::ks::WaitForFrame(pin, 5s, &frame), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<const KS_FRAME_INFO*>(frame.Extension())->PictureNumber, 1);
    EXPECT_EQ(TheJournal().processAbovePassive.load(), 0);
}

TEST_F(KsPinTest, ProcessNeverRunsConcurrentlyForOnePin) {
    HANDLE pin = NewPin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    constexpr int kFrames = 200;
    std::vector<Buffer> buffers(kFrames);
    std::atomic<bool> go{false};
    std::vector<std::thread> pokers;
    for (int t = 0; t < 3; ++t) {
        pokers.emplace_back([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kFrames; ++i) {
                ++TheJournal().framesReady;
                KsPinAttemptProcessing(TheJournal().pin, FALSE);
            }
        });
    }
    go = true;
    for (auto& b : buffers) {
        ASSERT_EQ(host::ks::QueueBuffer(pin, b.buffer.Header()), STATUS_SUCCESS);
    }
    for (auto& t : pokers) {
        t.join();
    }
    host::ks::CompletedFrame frame;
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_EQ(host::ks::WaitForFrame(pin, 10s, &frame), STATUS_SUCCESS) << i;
        EXPECT_EQ(frame.Status, STATUS_SUCCESS);
    }
    EXPECT_GT(TheJournal().processCalls.load(), 1);
    EXPECT_EQ(TheJournal().maxActiveProcess.load(), 1);
}

TEST_F(KsPinTest, StoppingReturnsQueuedBuffersCancelledAndProcessStaysOut) {
    HANDLE pin = NewPin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    Buffer buffers[2];
    for (auto& b : buffers) {
        ASSERT_EQ(host::ks::QueueBuffer(pin, b.buffer.Header()), STATUS_SUCCESS);
    }
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    int callsAtStop = TheJournal().processCalls.load();
    host::ks::CompletedFrame frame;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(host::ks::WaitForFrame(pin, 1s, &frame), STATUS_SUCCESS);
        EXPECT_EQ(frame.Status, STATUS_CANCELLED);
        EXPECT_EQ(frame.Header()->DataUsed, 0u);
    }
    TheJournal().framesReady = 5;
    KsPinAttemptProcessing(TheJournal().pin, FALSE);
    EXPECT_EQ(host::ks::WaitForFrame(pin, 30ms, &frame), STATUS_TIMEOUT);
    EXPECT_EQ(TheJournal().processCalls.load(), callsAtStop);
    EXPECT_EQ(TheJournal().processOutsideRun.load(), 0);
}

TEST_F(KsPinTest, BuffersMustCarryThePinsHeaderSize) {
    HANDLE pin = NewPin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    host::ks::StreamBuffer plain(sizeof(KSSTREAM_HEADER), 64);
    EXPECT_EQ(host::ks::QueueBuffer(pin, plain.Header()), STATUS_INVALID_BUFFER_SIZE);
    Buffer nodata;
    nodata.buffer.Header()->Data = nullptr;
    EXPECT_EQ(host::ks::QueueBuffer(pin, nodata.buffer.Header()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host::ks::QueueBuffer(filter_, plain.Header()), STATUS_INVALID_HANDLE);
}

TEST_F(KsPinTest, ClosingTheFilterEndsWaitsOnItsPins) {
    HANDLE pin = NewPin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    NTSTATUS waited = STATUS_PENDING;
    // Whether the wait starts before or after the close, it ends with the
    // stream and never runs into its bound.
    std::thread waiter([&] {
        host::ks::CompletedFrame frame;
        waited = host::ks::WaitForFrame(pin, 10s, &frame);
    });
    Close(filter_);
    waiter.join();
    EXPECT_EQ(waited, STATUS_CANCELLED);
    EXPECT_EQ(host::ks::LiveObjectCounts().pins, 0);
    auto events = TheJournal().Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "PinClose"), 1);
    KSSTATE state;
    EXPECT_EQ(host::ks::GetPinState(pin, &state), STATUS_DEVICE_REMOVED);
}

TEST_F(KsPinTest, ReferenceClockOnlyWhenAssignedAndCounted) {
    NewPin();
    HANDLE pin = handles_.back();
    PIKSREFERENCECLOCK clock = nullptr;
    EXPECT_FALSE(NT_SUCCESS(KsPinGetReferenceClockInterface(TheJournal().pin, &clock)));
    EXPECT_EQ(clock, nullptr);

    ASSERT_EQ(host::ks::AssignPinClock(pin, true), STATUS_SUCCESS);
    ASSERT_EQ(KsPinGetReferenceClockInterface(TheJournal().pin, &clock), STATUS_SUCCESS);
    ASSERT_NE(clock, nullptr);
    EXPECT_EQ(host::ks::LiveObjectCounts().clocks, 1);
    LONGLONG t1 = clock->GetTime();
    EXPECT_LE(t1, clock->GetTime());
    EXPECT_EQ(clock->AddRef(), 2u);
    EXPECT_EQ(clock->Release(), 1u);
    EXPECT_EQ(clock->Release(), 0u);
    EXPECT_EQ(host::ks::LiveObjectCounts().clocks, 0);
}

TEST_F(KsPinTest, PinHandlesAnswerTheConnectionSetAndNotTheFiltersSets) {
    HANDLE pin = NewPin();
    ULONG returned = 0;
    EXPECT_EQ(host::ks::GetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                                    nullptr, 0, &returned),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, ktest::kFormatSize);
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    ASSERT_EQ(host::ks::GetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                                    &format, sizeof(format), &returned),
              STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER expected = FormatOf(ktest::RangeUyvy());
    EXPECT_EQ(std::memcmp(&format, &expected, sizeof(format)), 0);

    LONG value = 0;
    EXPECT_EQ(host::ks::GetProperty(pin, ktest::PROPSETID_KsTest, ktest::kPropValue, &value,
                                    sizeof(value), &returned),
              STATUS_PROPSET_NOT_FOUND);
    EXPECT_EQ(host::ks::GetProperty(filter_, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                                    &value, sizeof(value), &returned),
              STATUS_PROPSET_NOT_FOUND);

    // A state beyond Run is refused before it is taken for a KSSTATE.
    for (ULONG state : {4u, 0x1D58B820u, 0xFFFFFFFFu}) {
        EXPECT_EQ(host::ks::SetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                                        &state, sizeof(state)),
                  STATUS_INVALID_PARAMETER)
            << state;
    }
    KSSTATE state = KSSTATE_RUN;
    ASSERT_EQ(host::ks::GetProperty(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                                    &state, sizeof(state), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);
}

// A format falls in several ranges of one subtype (the same GUIDs at other
// sizes): the minidriver is offered each in order until it stops answering
// STATUS_NO_MATCH, at creation and on a format change.
TEST_F(KsPinTest, EveryMatchingRangeIsOfferedUntilOneIsTaken) {
    TheJournal().matchWidth = true;
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePin(filter_, ktest::RangeUyvySmall(), &pin), STATUS_SUCCESS);
    const auto* uyvy = reinterpret_cast<const KSDATARANGE*>(&ktest::RangeUyvy());
    const auto* small = reinterpret_cast<const KSDATARANGE*>(&ktest::RangeUyvySmall());
    EXPECT_EQ(TheJournal().rangesOffered, (std::vector<const KSDATARANGE*>{uyvy, small}));

    TheJournal().rangesOffered.clear();
    KS_DATAFORMAT_VIDEOINFOHEADER wide = FormatOf(ktest::RangeUyvy());
    ASSERT_EQ(host::ks::SetPinDataFormat(pin, &wide.DataFormat), STATUS_SUCCESS);
    EXPECT_EQ(TheJournal().rangesOffered, (std::vector<const KSDATARANGE*>{uyvy}));

    // Refused by every range: the last answer stands.
    TheJournal().rangesOffered.clear();
    KS_DATAFORMAT_VIDEOINFOHEADER odd = FormatOf(ktest::RangeUyvy());
    odd.VideoInfoHeader.bmiHeader.biWidth = 48;
    EXPECT_EQ(host::ks::SetPinDataFormat(pin, &odd.DataFormat), STATUS_NO_MATCH);
    EXPECT_EQ(TheJournal().rangesOffered, (std::vector<const KSDATARANGE*>{uyvy, small}));
    EXPECT_EQ(std::memcmp(TheJournal().pin->ConnectionFormat, &wide, sizeof(wide)), 0);
}

// As on Windows, STATUS_SUCCESS means "call me again": a routine that says so
// without handing anything back keeps being called while buffers wait.
TEST_F(KsPinTest, ProcessThatSucceedsWithoutWorkIsCalledAgainAndAgain) {
    HANDLE pin = NewPin();
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    TheJournal().succeedWithoutWork = true;
    Buffer buffer;
    ASSERT_EQ(host::ks::QueueBuffer(pin, buffer.buffer.Header()), STATUS_SUCCESS);
    // One arrival, no KsPinAttemptProcessing: only the loop can get here.
    for (int i = 0; i < 5000 && TheJournal().processCalls.load() < 100; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_GE(TheJournal().processCalls.load(), 100);
    ASSERT_EQ(host::ks::SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    TheJournal().succeedWithoutWork = false;
    EXPECT_EQ(TheJournal().maxActiveProcess.load(), 1);
}

// A client sizes its buffers from the framing the pin asks for: the pin's
// own, as its Create dispatch edited it, not its factory's.
TEST_F(KsPinTest, AllocatorFramingIsAnsweredFromThePinsDescriptor) {
    HANDLE pin = NewPin();
    ULONG returned = 0;
    EXPECT_EQ(host::ks::GetProperty(pin, KSPROPSETID_Connection,
                                    KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, nullptr, 0,
                                    &returned),
              STATUS_BUFFER_OVERFLOW);
    ASSERT_EQ(returned, sizeof(KSALLOCATOR_FRAMING_EX));
    KSALLOCATOR_FRAMING_EX framing{};
    ASSERT_EQ(host::ks::GetProperty(pin, KSPROPSETID_Connection,
                                    KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, &framing,
                                    sizeof(framing), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(framing.CountItems, 1u);
    EXPECT_EQ(framing.FramingItem[0].Frames, 6u);
    EXPECT_EQ(ktest::CapturePinDescriptor().AllocatorFraming->FramingItem[0].Frames, 2u);
}

// A client with room for the frame information says so, as an application
// sets ExtendedHeaderSize before it queues the buffer.
TEST_F(KsPinTest, StreamBufferAsksForFrameInformationWhenItHasRoom) {
    host::ks::StreamBuffer buffer(ktest::kStreamHeaderSize, 16);
    EXPECT_EQ(reinterpret_cast<PKS_FRAME_INFO>(buffer.Header() + 1)->ExtendedHeaderSize,
              sizeof(KS_FRAME_INFO));
    EXPECT_EQ(buffer.Header()->Size, ktest::kStreamHeaderSize);
    EXPECT_EQ(buffer.Header()->FrameExtent, 16u);
}
