// What Start and Stop send to the board and in which order they give things
// up, over the simulated bus and board.
#include "driver_system.h"
#include "driver_test.h"

#include "board/board.h"
#include "device/pool_tags.h"

#include <host/kernel.h>
#include <host/ks_client.h>
#include <host/services.h>
#include <ksmedia.h>

#include <gtest/gtest.h>

#include <optional>

namespace m4350test {
namespace {

class DeviceStopTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        host::SetTimeScale(0.25); // answers arrive in time even on a loaded machine
        DriverSystem::InstallFirmware();
        system.emplace();
        ASSERT_EQ(system->loadStatus(), STATUS_SUCCESS);
    }
    void TearDown() override {
        system.reset();
        DriverSystem::RemoveFirmware();
        DriverTest::TearDown();
    }
    SimulatedBoard& PlugBoard() {
        SimulatedBoard& board = system->Plug(MakeSimulatedBoard());
        EXPECT_EQ(system->addStatus(), STATUS_SUCCESS);
        return board;
    }
    uint64_t Selections(SimulatedBoard& board) {
        return board.bus->Counters().urbs[URB_FUNCTION_SELECT_CONFIGURATION];
    }

    std::optional<DriverSystem> system;
};

// Stop gives the configuration back: one select-configuration request
// without a configuration, after the read pipe has stopped.
TEST_F(DeviceStopTest, StopDeconfiguresTheBoard) {
    SimulatedBoard& board = PlugBoard();
    ASSERT_EQ(system->Start(board), STATUS_SUCCESS);
    EXPECT_EQ(Selections(board), 1u);
    ASSERT_EQ(system->Stop(board), STATUS_SUCCESS);
    EXPECT_EQ(Selections(board), 2u);
    EXPECT_EQ(host::DebugLogCount("Failed to deconfigure device"), 0u);
    EXPECT_TRUE(board.bus->WaitForIdle(std::chrono::seconds(10)));
    EXPECT_EQ(board.bus->Counters().pendingNow, 0u);
}

struct FactoryFailure {
    ULONG channel;      // whose filter factory cannot be created
    NTSTATUS expected;  // Start's result
    size_t filtersLeft; // capture filters offered afterwards (none after a failed start)
};

class FilterFactoryFailureTest : public DeviceStopTest,
                                 public ::testing::WithParamInterface<FactoryFailure> {};

// Start creates the four factories in channel order and reports the last
// one's status: a failure of one of the first three is logged and Start goes
// on with the others; only a failure of the fourth fails Start.
TEST_P(FilterFactoryFailureTest, OnlyTheLastFactoryDecidesStart) {
    const FactoryFailure& c = GetParam();
    SimulatedBoard& board = PlugBoard();
    KSFILTER_DESCRIPTOR& broken = board.device()->descriptors.filter[c.channel];
    const ULONG version = broken.Version;
    broken.Version = 0; // the streaming class refuses the descriptor
    EXPECT_EQ(system->Start(board), c.expected);
    broken.Version = version;
    EXPECT_EQ(host::DebugLogCount("could not create filter"), 1u);
    EXPECT_EQ(host::ks::EnumerateFilters(KSCATEGORY_CAPTURE).size(), c.filtersLeft);
    EXPECT_EQ(board.device()->board != nullptr, NT_SUCCESS(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Channels, FilterFactoryFailureTest,
                         ::testing::Values(FactoryFailure{0, STATUS_SUCCESS, 3},
                                           FactoryFailure{1, STATUS_SUCCESS, 3},
                                           FactoryFailure{2, STATUS_SUCCESS, 3},
                                           FactoryFailure{3, STATUS_INVALID_PARAMETER, 0}),
                         [](const auto& info) {
                             return "Channel" + std::to_string(info.param.channel);
                         });

} // namespace
} // namespace m4350test
