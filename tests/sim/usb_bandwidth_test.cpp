// The host controller's bulk bandwidth: the schedule every transfer books,
// and buses that share one controller or have one each.
#include "usb_client.h"

#include <host/usb_bus.h>
#include <kernel_test.h>

#include <cstring>
#include <thread>

using namespace m4350::test;
using namespace std::chrono_literals;
using host::usb::HostController;
using host::usb::kHighSpeedBulkBytesPerMicroframe;
using host::usb::kMicroframe;
using host::usb::TransferResult;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint8_t kIn = 0x81, kOut = 0x01;
constexpr uint32_t kBlock = 16384;

// A device whose bulk IN endpoint always has a full block ready and whose
// bulk OUT endpoint takes everything.
class Source : public host::usb::DeviceModel {
public:
    std::vector<uint8_t> Descriptor(uint8_t type, uint8_t, uint16_t, host::usb::Speed) override {
        if (type == USB_DEVICE_DESCRIPTOR_TYPE)
            return {18, 1, 0, 2, 0xFF, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0, 1, 0, 0, 0, 1};
        // Configuration, interface, then the IN and the OUT endpoint (bulk,
        // 512-byte packets).
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            return {9, 2, 32, 0, 1,   1, 0, 0x80, 50, 9, 4, 0,    0, 2, 0xFF, 0,
                    0, 0, 7,  5, kIn, 2, 0, 2,    0,  7, 5, kOut, 2, 0, 2,    0};
        return {};
    }
    TransferResult Control(const host::usb::SetupPacket&, uint8_t*) override {
        return TransferResult::Stall();
    }
    TransferResult BulkOut(uint8_t, const uint8_t*, uint32_t length) override {
        return TransferResult::Ok(length);
    }
    TransferResult BulkIn(uint8_t, uint8_t* data, uint32_t capacity) override {
        std::memset(data, 0x5A, capacity);
        return TransferResult::Ok(capacity);
    }
};

class UsbBandwidthTest : public KernelTest {
protected:
    void TearDown() override {
        host::usb::SetDefaultBulkBytesPerMicroframe(0);
        KernelTest::TearDown();
    }
    // Reads `blocks` full blocks from a bus; the bytes that arrived.
    static uint64_t ReadBlocks(host::usb::Bus& bus, uint32_t blocks) {
        BoardPipes pipes;
        EXPECT_EQ(SelectConfiguration(bus.Pdo(), &pipes, kBlock), STATUS_SUCCESS);
        std::vector<uint8_t> buffer(kBlock);
        uint64_t total = 0;
        for (uint32_t i = 0; i < blocks; ++i) {
            ULONG got = 0;
            EXPECT_EQ(
                BulkRead(bus.Pdo(), pipes.pipes.at(0).PipeHandle, buffer.data(), kBlock, &got),
                STATUS_SUCCESS);
            total += got;
        }
        return total;
    }
    // The least time `bytes` can take on a controller of `limit`, allowing
    // for the credit an idle bus starts with.
    static Clock::duration Least(uint64_t bytes, uint32_t limit) {
        return host::ScaledDuration(kMicroframe * int64_t(bytes / limit) - 8 * kMicroframe);
    }
};

TEST_F(UsbBandwidthTest, ScheduleBooksTransfersBackToBackInScaledTime) {
    struct Case {
        double scale;
        uint32_t limit;
        uint32_t bytes;
        std::chrono::nanoseconds each; // real time one transfer takes
    };
    const Case cases[] = {
        {1.0, kHighSpeedBulkBytesPerMicroframe, kHighSpeedBulkBytesPerMicroframe, kMicroframe},
        {1.0, kHighSpeedBulkBytesPerMicroframe, kBlock, 307692ns},
        {1.0, 512, 1024, 2 * kMicroframe},
        {0.01, kHighSpeedBulkBytesPerMicroframe, kBlock, 307692ns},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "scale " << c.scale << ", limit " << c.limit);
        host::SetTimeScale(c.scale);
        HostController hc(c.limit);
        EXPECT_EQ(hc.BulkLimit(), c.limit);
        EXPECT_DOUBLE_EQ(hc.BulkLimitBytesPerSecond(), c.limit * 8000.0);
        // All asked for at one moment: a thread that the machine holds up
        // between two calls would otherwise find the bus idle again.
        const Clock::time_point asked = Clock::now();
        Clock::time_point previous = hc.CarryAt(c.bytes, asked);
        for (int i = 0; i < 20; ++i) {
            const Clock::time_point end = hc.CarryAt(c.bytes, asked);
            const auto step = std::chrono::duration_cast<std::chrono::nanoseconds>(end - previous);
            EXPECT_NEAR(double(step.count()), double(host::ScaledDuration(c.each).count()), 2.0);
            previous = end;
        }
        EXPECT_EQ(hc.BulkBytes(), 21u * c.bytes);
    }
}

TEST_F(UsbBandwidthTest, IdleControllerGivesOneMillisecondOfCreditAtMost) {
    HostController hc(kHighSpeedBulkBytesPerMicroframe);
    const Clock::time_point before = Clock::now();
    // Eight microframes' worth go at once; the ninth has to wait its turn.
    Clock::time_point end;
    for (int i = 0; i < 8; ++i)
        end = hc.Carry(kHighSpeedBulkBytesPerMicroframe);
    const Clock::time_point after = Clock::now();
    EXPECT_LE(end, after);
    end = hc.Carry(kHighSpeedBulkBytesPerMicroframe);
    EXPECT_GT(end, before);
}

TEST_F(UsbBandwidthTest, UnlimitedControllerNeverHoldsATransfer) {
    HostController hc(0);
    EXPECT_DOUBLE_EQ(hc.BulkLimitBytesPerSecond(), 0.0);
    for (int i = 0; i < 100; ++i) {
        const Clock::time_point end = hc.Carry(kBlock);
        EXPECT_LE(end, Clock::now());
    }
    EXPECT_EQ(hc.BulkBytes(), 100u * kBlock);
    hc.SetBulkLimit(512);
    EXPECT_EQ(hc.BulkLimit(), 512u);
}

TEST_F(UsbBandwidthTest, BusesTakeTheProcessDefaultUnlessGivenAController) {
    auto source = std::make_shared<Source>();
    {
        host::usb::Bus bus(source);
        EXPECT_EQ(bus.Controller().BulkLimit(), 0u) << "tests see an unlimited bus by default";
    }
    host::usb::SetDefaultBulkBytesPerMicroframe(kHighSpeedBulkBytesPerMicroframe);
    {
        host::usb::Bus bus(source);
        EXPECT_EQ(bus.Controller().BulkLimit(), kHighSpeedBulkBytesPerMicroframe);
        auto shared = std::make_shared<HostController>(1024u);
        host::usb::Bus a(source, {.controller = shared});
        host::usb::Bus b(source, {.controller = shared});
        EXPECT_EQ(&a.Controller(), shared.get());
        EXPECT_EQ(&b.Controller(), shared.get());
        EXPECT_NE(&bus.Controller(), shared.get());
    }
}

// A slow limit, so that what the machine does besides cannot make the bus
// look faster than it is; only the lower bound on the time is checked.
TEST_F(UsbBandwidthTest, BusCarriesNoMoreThanItsLimit) {
    constexpr uint32_t kLimit = 2048; // 16.384 MB/s
    auto source = std::make_shared<Source>();
    auto hc = std::make_shared<HostController>(kLimit);
    host::usb::Bus bus(source, {.controller = hc});
    const Clock::time_point begin = Clock::now();
    const uint64_t bytes = ReadBlocks(bus, 200);
    const Clock::duration took = Clock::now() - begin;
    EXPECT_EQ(bytes, 200u * kBlock);
    EXPECT_EQ(hc->BulkBytes(), bytes);
    EXPECT_EQ(bus.Counters().bytesIn, bytes);
    EXPECT_GE(took, Least(bytes, kLimit));
}

TEST_F(UsbBandwidthTest, BusesOnOneControllerShareItsLimit) {
    constexpr uint32_t kLimit = 2048;
    auto hc = std::make_shared<HostController>(kLimit);
    auto one = std::make_shared<Source>(), two = std::make_shared<Source>();
    host::usb::Bus a(one, {.controller = hc}), b(two, {.controller = hc});
    const Clock::time_point begin = Clock::now();
    uint64_t fromB = 0;
    std::thread reader([&] { fromB = ReadBlocks(b, 100); });
    const uint64_t fromA = ReadBlocks(a, 100);
    reader.join();
    const Clock::duration took = Clock::now() - begin;
    EXPECT_EQ(hc->BulkBytes(), fromA + fromB);
    EXPECT_GE(took, Least(fromA + fromB, kLimit)) << "two buses together stay within one limit";
}

TEST_F(UsbBandwidthTest, OutTransfersCountAgainstTheLimit) {
    auto hc = std::make_shared<HostController>(kHighSpeedBulkBytesPerMicroframe);
    auto source = std::make_shared<Source>();
    host::usb::Bus bus(source, {.controller = hc});
    BoardPipes pipes;
    ASSERT_EQ(SelectConfiguration(bus.Pdo(), &pipes, kBlock), STATUS_SUCCESS);
    std::vector<uint8_t> data(4096, 1);
    ULONG moved = 0;
    ASSERT_EQ(BulkWrite(bus.Pdo(), pipes.pipes.at(1).PipeHandle, data.data(), 4096, &moved),
              STATUS_SUCCESS);
    EXPECT_EQ(moved, 4096u);
    EXPECT_EQ(hc->BulkBytes(), 4096u);
}

} // namespace
