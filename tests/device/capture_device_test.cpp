// The device lifecycle over the simulated bus and board: Add, Start, Stop and
// SetPower as the plug-and-play manager calls them.
#include "driver_system.h"
#include "driver_test.h"

#include "board/board.h"
#include "capture/filter_descriptors.h"
#include "capture/format_catalogue.h"
#include "device/pool_tags.h"
#include "device/settings.h"

#include <host/kernel.h>
#include <host/ks_client.h>
#include <host/services.h>
#include <ksmedia.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

namespace m4350test {
namespace {

const wchar_t Parameters[] = L"m4350av\\Parameters";

std::filesystem::path SettingsFile(unsigned number) {
    return host::SystemRoot() / "system32" / "drivers" /
           ("m4350dev" + std::to_string(number) + ".bin");
}

void WriteModes(unsigned number, ULONG formats[4]) {
    ModeSettings modes[4];
    for (ULONG b = 0; b < 4; ++b) {
        modes[b] = DefaultModeSettings(formats[b]);
    }
    std::ofstream out(SettingsFile(number), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(modes), sizeof(modes));
}

// What the channel's filter offers on this board: its own descriptor copy.
bool OffersPal(const CaptureDevice* device, ULONG channel) {
    const KSPIN_DESCRIPTOR_EX& pin = device->descriptors.filter[channel].PinDescriptors[0];
    return pin.PinDescriptor.DataRanges == PalRangeList.Ranges;
}

class CaptureDeviceTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        // Answers arrive in time even on a loaded machine; time-outs that a
        // test waits for out are scaled down by the test itself.
        host::SetTimeScale(0.25);
        DriverSystem::InstallFirmware();
        system.emplace();
        ASSERT_EQ(system->loadStatus(), STATUS_SUCCESS);
    }
    void TearDown() override {
        system.reset();
        DriverSystem::RemoveFirmware();
        DriverTest::TearDown();
    }

    SimulatedBoard& PlugBoard(host::usb::BusOptions options = {}) {
        SimulatedBoard& board = system->Plug(MakeSimulatedBoard(), options);
        EXPECT_EQ(system->addStatus(), STATUS_SUCCESS);
        return board;
    }

    std::optional<DriverSystem> system;
};

TEST_F(CaptureDeviceTest, StartBringsTheBoardUpAndStopTearsItDown) {
    SimulatedBoard& board = PlugBoard();
    CaptureDevice* device = board.device();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->board, nullptr);

    ASSERT_EQ(system->Start(board), STATUS_SUCCESS);
    ASSERT_NE(device->board, nullptr);
    EXPECT_EQ(device->firmwareLoaded, 1u);
    EXPECT_EQ(device->firmwareFailed, 0u);
    EXPECT_EQ(host::DebugLogCount("[m4350av] firmware load pass"), 1u);
    EXPECT_EQ(host::DebugLogCount("create filter 0"), 1u);
    EXPECT_EQ(device->board->boardNumber, 0u);
    EXPECT_NE(device->usb.interfaceCopy, nullptr);
    for (ULONG n = 0; n < 4; ++n) {
        EXPECT_EQ(device->m_bColor[n], 1u);
        EXPECT_EQ(device->connectedColor[n], 2u);
        EXPECT_FALSE(OffersPal(device, n));
    }
    std::vector<std::wstring> filters = host::ks::EnumerateFilters(KSCATEGORY_CAPTURE);
    ASSERT_EQ(filters.size(), 4u);
    for (int n = 0; n < 4; ++n) {
        std::wstring reference = L"m4350av_chan" + std::to_wstring(n + 1);
        EXPECT_EQ(filters[n].substr(filters[n].size() - reference.size()), reference);
    }

    ASSERT_EQ(system->Stop(board), STATUS_SUCCESS);
    EXPECT_EQ(device->board, nullptr);
    EXPECT_EQ(device->firmwareLoaded, 0u);
    EXPECT_EQ(device->usb.interfaceCopy, nullptr);
    EXPECT_EQ(host::DebugLogCountContaining("board shutdown pdx "), 1u);
    EXPECT_EQ(std::filesystem::file_size(SettingsFile(0)), 336u);
    EXPECT_EQ(host::PoolLiveCount(FrameQueueTag), 0u);
    EXPECT_EQ(host::PoolLiveCount(InterfaceCopyTag), 0u);
    EXPECT_TRUE(host::ks::EnumerateFilters(KSCATEGORY_CAPTURE).empty());
}

// A fixed PAL standard overrides saved NTSC modes: each channel is programmed
// with PAL and offers the PAL list.
TEST_F(CaptureDeviceTest, FixedPalOverridesSavedNtscModes) {
    ULONG ntsc[4] = {1, 1, 1, 1};
    WriteModes(0, ntsc);
    host::SetServiceDword(Parameters, L"FixedStandard", 2);
    SimulatedBoard& board = PlugBoard();
    ASSERT_EQ(system->Start(board), STATUS_SUCCESS);
    Board* b = board.device()->board;
    ASSERT_NE(b, nullptr);
    for (ULONG n = 0; n < 4; ++n) {
        ModeSettings mode;
        EXPECT_EQ(getMode(b, n, &mode), BoardOk) << n;
        EXPECT_EQ(mode.format, FormatPal) << n;
        EXPECT_EQ(mode.restart, 1u) << n;
        EXPECT_TRUE(OffersPal(board.device(), n)) << n;
    }
    EXPECT_EQ(host::DebugLogCount("format: 2"), 4u);
    EXPECT_EQ(host::DebugLogCount("set mode expired"), 0u);
}

// Without firmware no mode is sent, but the lists still follow the standard
// the channels are held at.
TEST_F(CaptureDeviceTest, FixedPalWithoutFirmwareSendsNothing) {
    DriverSystem::RemoveFirmware();
    ULONG ntsc[4] = {1, 1, 1, 1};
    WriteModes(0, ntsc);
    host::SetServiceDword(Parameters, L"FixedStandard", 2);
    SimulatedBoard& board = PlugBoard();
    ASSERT_EQ(system->Start(board), STATUS_SUCCESS);
    CaptureDevice* device = board.device();
    EXPECT_EQ(device->firmwareFailed, 1u);
    EXPECT_EQ(device->firmwareLoaded, 0u);
    EXPECT_EQ(host::DebugLogCount("[m4350av] firmware load failed."), 1u);
    EXPECT_EQ(host::DebugLogCount("MODE settings"), 0u);
    for (ULONG n = 0; n < 4; ++n) {
        EXPECT_TRUE(OffersPal(device, n)) << n;
        EXPECT_EQ(device->board->modes[n].format, FormatNtsc);
    }
}

TEST_F(CaptureDeviceTest, UnfixedStandardFollowsSavedModes) {
    ULONG mixed[4] = {1, 2, 1, 2}; // board channels: channel 2 and channel 0 are PAL
    WriteModes(0, mixed);
    SimulatedBoard& board = PlugBoard();
    ASSERT_EQ(system->Start(board), STATUS_SUCCESS);
    EXPECT_EQ(host::DebugLogCount("MODE settings"), 0u);
    EXPECT_TRUE(OffersPal(board.device(), 0));
    EXPECT_FALSE(OffersPal(board.device(), 1));
    EXPECT_TRUE(OffersPal(board.device(), 2));
    EXPECT_FALSE(OffersPal(board.device(), 3));
    EXPECT_EQ(board.device()->board->modes[1].format, FormatPal);
}

// A board on a USB 1.x port is refused before any Board exists; the filter
// factories made before stay, and nothing of the configuration is left.
TEST_F(CaptureDeviceTest, FullSpeedBoardIsRefused) {
    host::usb::BusOptions options;
    options.speed = host::usb::Speed::Full;
    SimulatedBoard& board = PlugBoard(options);
    EXPECT_EQ(system->Start(board), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::DebugLogCount("[M4350].  USB 1.0 or USB 1.1 not supported."), 1u);
    EXPECT_EQ(board.device()->board, nullptr);
    EXPECT_EQ(BoardCounter, 0);
    EXPECT_EQ(board.device()->usb.interfaceCopy, nullptr);
    EXPECT_EQ(host::PoolLiveCount(BoardTag), 0u); // nothing of a board
}

TEST_F(CaptureDeviceTest, RestartKeepsTheBoardNumberAndSettings) {
    SimulatedBoard& board = PlugBoard();
    ASSERT_EQ(system->Start(board), STATUS_SUCCESS);
    CaptureDevice* device = board.device();
    ULONG firstDevice = device->deviceNumber;
    ModeSettings mode;
    getMode(device->board, 1, &mode);
    mode.bright = 0x33;
    mode.restart = 0;
    EXPECT_EQ(setMode(device->board, 1, &mode), 0);
    ASSERT_EQ(system->Stop(board), STATUS_SUCCESS);

    host::ClearDebugLog();
    ASSERT_EQ(system->Start(board), STATUS_SUCCESS);
    ASSERT_NE(device->board, nullptr);
    EXPECT_EQ(device->board->boardNumber, 0u);
    EXPECT_EQ(device->deviceNumber, firstDevice + 1);
    EXPECT_EQ(device->board->modes[2].bright, 0x33u);
    EXPECT_EQ(host::DebugLogCount("using mode format 1"), 4u);
}

// Boards keep distinct numbers, and so distinct settings files, whichever of
// them stops first.
TEST_F(CaptureDeviceTest, BoardNumbersStayDistinctAcrossStops) {
    SimulatedBoard& first = PlugBoard();
    SimulatedBoard& second = PlugBoard();
    ASSERT_EQ(system->Start(first), STATUS_SUCCESS);
    ASSERT_EQ(system->Start(second), STATUS_SUCCESS);
    EXPECT_EQ(first.device()->board->boardNumber, 0u);
    EXPECT_EQ(second.device()->board->boardNumber, 1u);

    ASSERT_EQ(system->Stop(first), STATUS_SUCCESS);
    SimulatedBoard& third = PlugBoard();
    ASSERT_EQ(system->Start(third), STATUS_SUCCESS);
    EXPECT_EQ(third.device()->board->boardNumber, 0u);
    EXPECT_EQ(second.device()->board->boardNumber, 1u);
    EXPECT_EQ(BoardCounter, 2);
}

// Set-modes of different channels run at once; the command mutex keeps one
// command and its acknowledgement on the wire at a time, so every channel
// gets its own mode and its own acknowledgement.
TEST_F(CaptureDeviceTest, ConcurrentSetModesEachGetTheirAcknowledgement) {
    auto sim = MakeSimulatedBoard();
    SimulatedBoard& board = system->Plug(sim);
    ASSERT_EQ(system->Start(board), STATUS_SUCCESS);
    Board* b = board.device()->board;
    ASSERT_NE(b, nullptr);
    const uint64_t setModesBefore = sim->Counters().setMode;
    const uint64_t acksBefore = sim->Counters().acks;

    LONG results[4] = {-9, -9, -9, -9};
    std::vector<std::thread> threads;
    for (ULONG n = 0; n < 4; ++n) {
        threads.emplace_back([b, n, &results] {
            ModeSettings mode;
            getMode(b, n, &mode);
            mode.scale = n == 0 ? 2 : 3;
            mode.color = 2;
            mode.restart = 1;
            results[n] = setMode(b, n, &mode);
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (ULONG n = 0; n < 4; ++n) {
        EXPECT_EQ(results[n], 0) << n;
        EXPECT_EQ(sim->Mode(3 - n).scale, n == 0 ? 2u : 3u) << n;
        EXPECT_EQ(b->expectedFrameSize[3 - n], n == 0 ? 311296u : 163840u) << n;
    }
    EXPECT_EQ(sim->Counters().setMode - setModesBefore, 4u);
    EXPECT_EQ(sim->Counters().acks - acksBefore, 4u);
    EXPECT_EQ(host::DebugLogCount("set mode expired"), 0u);
}

TEST_F(CaptureDeviceTest, PowerDownMarksTheBoardOnlyForD2AndD3) {
    SimulatedBoard& board = PlugBoard();
    ASSERT_EQ(system->Start(board), STATUS_SUCCESS);
    Board* b = board.device()->board;
    struct Case {
        DEVICE_POWER_STATE to;
        ULONG poweredDown;
    } cases[] = {{PowerDeviceD1, 0}, {PowerDeviceD2, 1}, {PowerDeviceD3, 1}};
    for (const Case& c : cases) {
        b->poweredDown = 0;
        ASSERT_EQ(system->SetPower(board, PowerDeviceD0), STATUS_SUCCESS);
        ASSERT_EQ(system->SetPower(board, c.to), STATUS_SUCCESS);
        EXPECT_EQ(b->poweredDown, c.poweredDown) << c.to;
    }
    EXPECT_EQ(host::DebugLogCount("to power down"), 2u);
    EXPECT_EQ(host::DebugLogCount("set power TO:3 FROM:1"), 1u);

    // The next open reloads the firmware before the channel opens.
    ASSERT_EQ(system->SetPower(board, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Board::open(b, 0), BoardOk);
    EXPECT_EQ(b->poweredDown, 0u);
    EXPECT_EQ(host::DebugLogCountContaining("firmware downloaded successfully"), 2u);
}

// After a power-down the channels that come back at once share one firmware
// reload: a second reload would power-cycle the board after an earlier
// channel's mode was sent and leave that channel with the board's default
// picture. Each round powers the board down and lets four threads come back,
// first with set-modes alone, then with opens followed by set-modes; the
// second round's download must wait for the board's new ready answers, not
// take those of the first round's boot for them.
TEST_F(CaptureDeviceTest, ChannelsBackFromPowerDownShareOneReload) {
    auto sim = MakeSimulatedBoard();
    SimulatedBoard& board = system->Plug(sim);
    ASSERT_EQ(system->Start(board), STATUS_SUCCESS);
    Board* b = board.device()->board;
    ASSERT_NE(b, nullptr);

    struct Round {
        const char* name;
        bool open;
    } rounds[] = {{"set-modes", false}, {"opens", true}};
    for (const Round& round : rounds) {
        ASSERT_EQ(system->SetPower(board, PowerDeviceD3), STATUS_SUCCESS);
        ASSERT_EQ(system->SetPower(board, PowerDeviceD0), STATUS_SUCCESS);
        ASSERT_EQ(b->poweredDown, 1u);
        const auto before = sim->Counters();
        // The reload gives every channel with a stored mode that mode again.
        const uint64_t restored =
            b->modeValid[0] + b->modeValid[1] + b->modeValid[2] + b->modeValid[3];
        const size_t reloadsBefore =
            host::DebugLogCount("m4350: board powered down or sleep mode, reloading firmware");

        LONG opened[4] = {-9, -9, -9, -9};
        LONG results[4] = {-9, -9, -9, -9};
        std::vector<std::thread> threads;
        for (ULONG n = 0; n < 4; ++n) {
            threads.emplace_back([b, n, &round, &opened, &results] {
                if (round.open) {
                    opened[n] = Board::open(b, n);
                }
                ModeSettings mode = DefaultModeSettings(FormatPal);
                mode.scale = 1 + n;
                mode.restart = 1;
                results[n] = setMode(b, n, &mode);
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        const auto after = sim->Counters();
        EXPECT_EQ(
            host::DebugLogCount("m4350: board powered down or sleep mode, reloading firmware") -
                reloadsBefore,
            1u)
            << round.name;
        EXPECT_EQ(after.firmwareLoads - before.firmwareLoads, 1u) << round.name;
        EXPECT_EQ(after.acks - before.acks, 4u + restored) << round.name;
        EXPECT_EQ(b->poweredDown, 0u) << round.name;
        for (ULONG n = 0; n < 4; ++n) {
            if (round.open) {
                EXPECT_EQ(opened[n], BoardOk) << round.name << " " << n;
            }
            EXPECT_EQ(results[n], 0) << round.name << " " << n;
            // The board holds the mode the channel was given last.
            EXPECT_EQ(sim->Mode(3 - n).format, FormatPal) << round.name << " " << n;
            EXPECT_EQ(sim->Mode(3 - n).scale, 1 + n) << round.name << " " << n;
            EXPECT_EQ(b->modes[3 - n].scale, 1 + n) << round.name << " " << n;
        }
    }
}

// A start whose download failed tries again at the next return to full power.
TEST_F(CaptureDeviceTest, FailedFirmwareIsRetriedAtFullPower) {
    DriverSystem::RemoveFirmware();
    SimulatedBoard& board = PlugBoard();
    ASSERT_EQ(system->Start(board), STATUS_SUCCESS);
    CaptureDevice* device = board.device();
    ASSERT_EQ(device->firmwareFailed, 1u);

    DriverSystem::InstallFirmware();
    ASSERT_EQ(system->SetPower(board, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(system->SetPower(board, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(host::DebugLogCount("m4350: firmware failed in PNPstart. loading again"), 1u);
    EXPECT_EQ(host::DebugLogCount("m4350: firmware pass D0 state"), 1u);
    EXPECT_EQ(device->firmwareFailed, 0u);
    EXPECT_EQ(device->firmwareLoaded, 1u);
}

TEST_F(CaptureDeviceTest, AddFailsCleanlyWithoutMemory) {
    // The context is Add's only allocation.
    host::FailAllocationsWithTag(DeviceTag);
    SimulatedBoard& board = system->Plug(MakeSimulatedBoard());
    host::ClearPoolFaults();
    EXPECT_EQ(system->addStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(board.node, nullptr);
    EXPECT_EQ(host::PoolLiveCount(DeviceTag), 0u);
    EXPECT_EQ(host::PoolLiveCount(BoardTag), 0u);
}

TEST_F(CaptureDeviceTest, BoardCreationFailureFailsStart) {
    SimulatedBoard& board = PlugBoard();
    host::FailAllocationsWithTag(FrameQueueTag);
    EXPECT_EQ(system->Start(board), STATUS_INSUFFICIENT_RESOURCES);
    host::ClearPoolFaults();
    EXPECT_EQ(board.device()->board, nullptr);
    EXPECT_EQ(BoardCounter, 0);
    EXPECT_EQ(host::PoolLiveCount(InterfaceCopyTag), 0u);
}

// Stop gives the configuration back: one select-configuration request
// without a configuration, after the read pipe has stopped.
TEST_F(CaptureDeviceTest, StopDeconfiguresTheBoard) {
    SimulatedBoard& board = PlugBoard();
    ASSERT_EQ(system->Start(board), STATUS_SUCCESS);
    auto selections = [&] { return board.bus->Counters().urbs[URB_FUNCTION_SELECT_CONFIGURATION]; };
    EXPECT_EQ(selections(), 1u);
    ASSERT_EQ(system->Stop(board), STATUS_SUCCESS);
    EXPECT_EQ(selections(), 2u);
    EXPECT_EQ(host::DebugLogCount("Failed to deconfigure device"), 0u);
    EXPECT_TRUE(board.bus->WaitForIdle(std::chrono::seconds(10)));
    EXPECT_EQ(board.bus->Counters().pendingNow, 0u);
}

struct FactoryFailure {
    ULONG channel;      // whose filter factory cannot be created
    NTSTATUS expected;  // Start's result
    size_t filtersLeft; // capture filters offered afterwards (none after a failed start)
};

class FilterFactoryFailureTest : public CaptureDeviceTest,
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
