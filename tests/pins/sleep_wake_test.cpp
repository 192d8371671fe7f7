// The machine sleeps and wakes under running streams: the board loses its
// power with the port, and capture must go on by itself after the wake, in
// both orders Windows delivers SetPower(D0) and Pause -> Run, with the
// pictures still the board's and the numbering going on from before.
#include "pin_system_fixture.h"

#include <host/kernel.h>
#include <host/ks_pnp.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>

namespace m4350test {
namespace {

using namespace std::chrono_literals;
using host::ks::WakeOrder;

constexpr const auto& kFormats = FourChannelFormats;

class SleepWakeTest : public PinSystemTest {
protected:
    // Connects channel n in its format, with buffers queued, in Pause.
    void Connect(ULONG n) {
        stream[n] = &OpenStream(0, n);
        ASSERT_EQ(stream[n]->Connect(CatalogueRange(kFormats[n].standard, kFormats[n].row),
                                     kFormats[n].halfRate ? HalfRate : nullptr),
                  STATUS_SUCCESS)
            << n;
        stream[n]->MakeBuffers(6);
        frames[n] = std::make_unique<BoardFrames>(models[0], 3 - n);
    }
    void Run(ULONG n) {
        ASSERT_EQ(stream[n]->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        ASSERT_EQ(stream[n]->QueueAll(), STATUS_SUCCESS);
        ASSERT_EQ(stream[n]->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    // Serves the channels in `which` until each has `more` further frames,
    // every one checked against the board's and its numbering.
    void Serve(std::initializer_list<ULONG> which, ULONG more, std::chrono::milliseconds bound) {
        std::array<ULONG, 4> target = received;
        for (ULONG n : which) {
            target[n] += more;
        }
        auto serve = [&] {
            bool all = true;
            for (ULONG n : which) {
                ReceivedFrame frame;
                while (received[n] < target[n] && stream[n]->Next(&frame, 0ms) == STATUS_SUCCESS) {
                    SCOPED_TRACE("channel " + std::to_string(n));
                    CheckFrame(*stream[n], *frames[n], frame);
                    ++received[n];
                }
                all = all && received[n] >= target[n];
            }
            return all;
        };
        EXPECT_TRUE(m4350::WaitUntil(serve, bound))
            << received[0] << " " << received[1] << " " << received[2] << " " << received[3];
    }
    void Sleep(SimulatedBoard& board) {
        const uint64_t losses = models[0]->Counters().powerLosses;
        ASSERT_EQ(system->Sleep(board), STATUS_SUCCESS);
        EXPECT_TRUE(board.bus->Suspended());
        EXPECT_EQ(models[0]->Counters().powerLosses, losses + 1);
    }

    std::array<PinStream*, 4> stream{};
    std::array<std::unique_ptr<BoardFrames>, 4> frames;
    std::array<ULONG, 4> received{};
};

struct WakeCase {
    const char* name;
    WakeOrder order;
    LONG pausedChannel; // paused by the client before the sleep; -1: none
};

void PrintTo(const WakeCase& c, std::ostream* out) {
    *out << c.name;
}

class SleepWithStreams : public SleepWakeTest, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(SleepWithStreams, EveryChannelStreamsAgainAfterTheWake) {
    const WakeCase& c = GetParam();
    SaveStandards(0, {1, 2, 1, 2});
    SimulatedBoard& board = StartBoard();
    for (ULONG n = 0; n < 4; ++n) {
        Connect(n);
        Run(n);
    }
    Serve({0, 1, 2, 3}, 5, 30s);
    if (c.pausedChannel >= 0) {
        ASSERT_EQ(stream[c.pausedChannel]->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    }

    Sleep(board);
    ASSERT_EQ(system->Wake(board, c.order), STATUS_SUCCESS);
    EXPECT_FALSE(board.bus->Suspended());

    std::initializer_list<ULONG> all = {0, 1, 2, 3};
    std::initializer_list<ULONG> allButTwo = {0, 1, 3};
    Serve(c.pausedChannel >= 0 ? allButTwo : all, 10, 30s);
    if (c.pausedChannel >= 0) {
        // It stays paused across the wake (the board acquires, the driver
        // holds its frames back), and resumes on Run.
        EXPECT_TRUE(models[0]->Acquiring(3 - c.pausedChannel));
        if (!system->underImage()) {
            EXPECT_EQ(board.device()->board->paused[3 - c.pausedChannel], 1u);
        }
        ASSERT_EQ(stream[c.pausedChannel]->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        Serve({ULONG(c.pausedChannel)}, 10, 30s);
    }
    for (ULONG n = 0; n < 4; ++n) {
        EXPECT_TRUE(models[0]->Acquiring(3 - n)) << n;
        EXPECT_EQ(stream[n]->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Orders, SleepWithStreams,
    ::testing::Values(WakeCase{"PowerFirst", WakeOrder::PowerFirst, -1},
                      WakeCase{"RunFirst", WakeOrder::RunFirst, -1},
                      WakeCase{"PowerFirstOnePaused", WakeOrder::PowerFirst, 2},
                      WakeCase{"RunFirstOnePaused", WakeOrder::RunFirst, 2}),
    [](const ::testing::TestParamInfo<WakeCase>& info) { return std::string(info.param.name); });

// A pin left in Stop across the sleep keeps a stored mode the board lost;
// its next Run must not start the board without it. With another channel
// streaming the wake brings the board back; without one, the Stop pin's own
// open does.
struct StopPinCase {
    const char* name;
    bool neighbourStreams;
};

void PrintTo(const StopPinCase& c, std::ostream* out) {
    *out << c.name;
}

class StopPinAcrossSleep : public SleepWakeTest,
                           public ::testing::WithParamInterface<StopPinCase> {};

TEST_P(StopPinAcrossSleep, GetsItsModeBackAndStreamsOnItsNextRun) {
    SaveStandards(0, {1, 2, 1, 2});
    SimulatedBoard& board = StartBoard();
    Connect(1); // PAL RGB24: the mode is sent by the pin's creation
    if (GetParam().neighbourStreams) {
        Connect(0);
        Run(0);
        Serve({0}, 3, 30s);
    }
    Sleep(board);
    ASSERT_EQ(system->Wake(board, WakeOrder::PowerFirst), STATUS_SUCCESS);
    if (GetParam().neighbourStreams) {
        Serve({0}, 3, 30s);
    }
    Run(1);
    Serve({1}, 5, 30s);
    EXPECT_EQ(models[0]->Mode(2).format, 2u);
}

INSTANTIATE_TEST_SUITE_P(Neighbours, StopPinAcrossSleep,
                         ::testing::Values(StopPinCase{"WithAStream", true},
                                           StopPinCase{"Alone", false}),
                         [](const ::testing::TestParamInfo<StopPinCase>& info) {
                             return std::string(info.param.name);
                         });

// The board sleeps again while the first wake's firmware reload waits for the
// board's ready answers (withheld once, so that the wait is long), and wakes
// again: the streams come back within 10 s of the last wake, in both orders.
class SleepDuringReload : public SleepWakeTest, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(SleepDuringReload, StreamsComeBackAfterTheLastWake) {
    SaveStandards(0, {1, 2, 1, 2});
    SimulatedBoard& board = StartBoard();
    Connect(0);
    Run(0);
    Connect(3);
    Run(3);
    Serve({0, 3}, 3, 30s);

    Sleep(board);
    models[0]->AddFault({.fault = m4350::sim::Fault::WithholdReady, .count = 4});
    const uint64_t loads = models[0]->Counters().firmwareLoads;
    ASSERT_EQ(system->Wake(board, WakeOrder::PowerFirst), STATUS_SUCCESS);
    ASSERT_TRUE(models[0]->WaitFor(
        [&](const m4350::sim::BoardCounters& c) { return c.firmwareLoads > loads; }, 10s));
    Sleep(board);
    ASSERT_EQ(system->Wake(board, GetParam().order), STATUS_SUCCESS);
    Serve({0, 3}, 5, 10s);
}

INSTANTIATE_TEST_SUITE_P(Orders, SleepDuringReload,
                         ::testing::Values(WakeCase{"PowerFirst", WakeOrder::PowerFirst, -1},
                                           WakeCase{"RunFirst", WakeOrder::RunFirst, -1}),
                         [](const ::testing::TestParamInfo<WakeCase>& info) {
                             return std::string(info.param.name);
                         });

// The board is pulled while the machine sleeps: the wake returns, the
// bring-back gives up, and the device goes away cleanly.
TEST_F(SleepWakeTest, UnplugWhileAsleepEndsCleanly) {
    SimulatedBoard& board = StartBoard();
    Connect(0);
    Run(0);
    Serve({0}, 3, 30s);
    Sleep(board);
    board.bus->Unplug();
    ASSERT_EQ(system->Wake(board, WakeOrder::PowerFirst), STATUS_SUCCESS);
    stream[0]->Close();
    system->Remove(board);
    EXPECT_EQ(host::ks::LiveObjectCounts().pins, 0);
}

} // namespace
} // namespace m4350test
