// The simulated bus driven with real URBs in IRPs against a small scripted
// device: request routing, pending transfers and how they end.
#include "usb_client.h"

#include <host/usb_bus.h>
#include <kernel_test.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>

using namespace m4350::test;
using host::usb::Bus;
using host::usb::BusOptions;
using host::usb::Speed;
using host::usb::TransferResult;

namespace {

constexpr uint8_t kOut = 0x02, kIn = 0x82, kIn2 = 0x83;

// A vendor-class device with one bulk OUT and two bulk IN endpoints. IN data
// is whatever the test pushes; control requests are recorded.
class ScriptedDevice : public host::usb::DeviceModel {
public:
    void Push(uint8_t endpoint, std::vector<uint8_t> chunk) {
        host::usb::Port* port;
        {
            std::lock_guard lk(m_);
            queues_[endpoint & 1].push_back(std::move(chunk));
            port = port_;
        }
        if (port)
            port->InDataReady();
    }
    std::vector<host::usb::SetupPacket> Setups() {
        std::lock_guard lk(m_);
        return setups_;
    }
    size_t Queued(uint8_t endpoint) {
        std::lock_guard lk(m_);
        return queues_[endpoint & 1].size();
    }
    std::vector<uint8_t> Written() {
        std::lock_guard lk(m_);
        return written_;
    }
    std::atomic<bool> hangOut{false};
    std::atomic<bool> fullSpeedOnly{false};
    std::atomic<int> attaches{0}, detaches{0}, portResets{0}, pipeResets{0}, suspends{0},
        resumes{0};

    Speed MaxSpeed() const override { return fullSpeedOnly ? Speed::Full : Speed::High; }
    void Attach(host::usb::Port* port, Speed) override {
        std::lock_guard lk(m_);
        port_ = port;
        ++attaches;
    }
    void Detach() override {
        std::lock_guard lk(m_);
        port_ = nullptr;
        ++detaches;
    }
    std::vector<uint8_t> Descriptor(uint8_t type, uint8_t, uint16_t, Speed) override {
        if (type == USB_DEVICE_DESCRIPTOR_TYPE)
            return {18, 1, 0, 2, 0xFF, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0, 1, 0, 0, 0, 1};
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            return {9,    2, 39, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 3, 0xFF, 0xAB, 0xCD, 0, 7, 5,
                    kOut, 2, 0,  2, 0, 7, 5, kIn,  2,  0, 2, 0, 7, 5, kIn2, 2,    0,    2, 0};
        return {};
    }
    TransferResult Control(const host::usb::SetupPacket& s, uint8_t* data) override {
        std::lock_guard lk(m_);
        setups_.push_back(s);
        if (s.request == 0xEE)
            return TransferResult::Stall();
        if (s.requestType & 0x80) {
            for (uint16_t i = 0; i < s.length; ++i)
                data[i] = uint8_t(s.request + i);
            return TransferResult::Ok(s.length);
        }
        written_.assign(data, data + s.length);
        return TransferResult::Ok(s.length);
    }
    TransferResult BulkOut(uint8_t, const uint8_t* data, uint32_t length) override {
        if (hangOut)
            return TransferResult::Hung();
        std::lock_guard lk(m_);
        written_.assign(data, data + length);
        return TransferResult::Ok(length);
    }
    // While held, the bus's attempt to move IN data stops inside the device
    // until released, with the transfer taken off the pipe's list.
    void HoldIn() {
        std::lock_guard lk(gate_);
        holdIn_ = true;
    }
    bool WaitInHeld() {
        std::unique_lock lk(gate_);
        return gateCv_.wait_for(lk, std::chrono::seconds(10), [&] { return inHeld_; });
    }
    void ReleaseIn() {
        std::lock_guard lk(gate_);
        holdIn_ = false;
        gateCv_.notify_all();
    }

    TransferResult BulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override {
        {
            std::unique_lock gate(gate_);
            if (holdIn_) {
                inHeld_ = true;
                gateCv_.notify_all();
                gateCv_.wait(gate, [&] { return !holdIn_; });
                inHeld_ = false;
            }
        }
        std::lock_guard lk(m_);
        auto& q = queues_[endpoint & 1];
        if (q.empty())
            return TransferResult::NotReady();
        std::vector<uint8_t>& chunk = q.front();
        const uint32_t n = std::min<uint32_t>(capacity, uint32_t(chunk.size()));
        std::memcpy(data, chunk.data(), n);
        chunk.erase(chunk.begin(), chunk.begin() + n);
        if (chunk.empty())
            q.pop_front();
        return TransferResult::Ok(n);
    }
    void PortReset() override { ++portResets; }
    void Suspend() override { ++suspends; }
    void Resume() override { ++resumes; }
    void PipeReset(uint8_t) override { ++pipeResets; }

private:
    std::mutex gate_;
    std::condition_variable gateCv_;
    bool holdIn_ = false;
    bool inHeld_ = false;
    std::mutex m_;
    host::usb::Port* port_ = nullptr;
    std::deque<std::vector<uint8_t>> queues_[2]; // [0]: 0x82, [1]: 0x83
    std::vector<host::usb::SetupPacket> setups_;
    std::vector<uint8_t> written_;
};

class UsbBusTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        device = std::make_shared<ScriptedDevice>();
    }
    void TearDown() override {
        reads.clear();
        bus.reset();
        KernelTest::TearDown();
    }
    void Plug(BusOptions options = {}) { bus = std::make_unique<Bus>(device, options); }
    PDEVICE_OBJECT Pdo() { return bus->Pdo(); }
    BoardPipes Configure() {
        BoardPipes p;
        EXPECT_EQ(SelectConfiguration(Pdo(), &p), STATUS_SUCCESS);
        EXPECT_EQ(p.pipes.size(), 3u);
        return p;
    }
    // A pending IN transfer with its own buffer.
    struct Read {
        std::unique_ptr<UrbRequest> request;
        std::vector<uint8_t> buffer;
        ULONG Moved() { return request->Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength; }
        USBD_STATUS UrbStatus() { return request->Urb()->UrbHeader.Status; }
    };
    Read& StartRead(USBD_PIPE_HANDLE pipe, ULONG length = 16) {
        auto& r = reads.emplace_back();
        r.request = std::make_unique<UrbRequest>(Pdo());
        r.buffer.assign(length, 0);
        BuildBulk(r.request->Urb(), pipe, r.buffer.data(), length, true);
        EXPECT_EQ(r.request->Send(), STATUS_PENDING);
        return r;
    }

    std::shared_ptr<ScriptedDevice> device;
    std::unique_ptr<Bus> bus;
    std::deque<Read> reads;
};

TEST_F(UsbBusTest, DescriptorReadsHonourTheRequestedLength) {
    Plug();
    struct Case {
        UCHAR type;
        ULONG asked;
        ULONG expected;
    } cases[] = {{USB_DEVICE_DESCRIPTOR_TYPE, 18, 18},
                 {USB_DEVICE_DESCRIPTOR_TYPE, 8, 8},
                 {USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 9},
                 {USB_CONFIGURATION_DESCRIPTOR_TYPE, 255, 39}};
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer(c.asked + 4, 0xCC);
        ULONG got = 0;
        EXPECT_EQ(GetDescriptor(Pdo(), c.type, buffer.data(), c.asked, &got), STATUS_SUCCESS);
        EXPECT_EQ(got, c.expected) << "type " << int(c.type) << " asked " << c.asked;
        EXPECT_EQ(buffer[1], c.type);
        EXPECT_EQ(buffer[c.asked], 0xCC) << "wrote past the requested length";
    }
    uint8_t unused[4];
    EXPECT_EQ(GetDescriptor(Pdo(), USB_STRING_DESCRIPTOR_TYPE, unused, sizeof(unused)),
              STATUS_UNSUCCESSFUL)
        << "a descriptor the device does not have stalls";
}

TEST_F(UsbBusTest, SelectionFillsPipesAndKeepsTheCallersTransferSize) {
    Plug();
    BoardPipes p;
    ASSERT_EQ(SelectConfiguration(Pdo(), &p, 4096), STATUS_SUCCESS);
    ASSERT_EQ(p.pipes.size(), 3u);
    EXPECT_NE(p.configuration, nullptr);
    EXPECT_NE(p.interfaceHandle, nullptr);
    const UCHAR addresses[] = {kOut, kIn, kIn2};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(p.pipes[i].EndpointAddress, addresses[i]);
        EXPECT_EQ(p.pipes[i].PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(p.pipes[i].MaximumPacketSize, 512);
        EXPECT_EQ(p.pipes[i].MaximumTransferSize, 4096u);
        EXPECT_NE(p.pipes[i].PipeHandle, nullptr);
    }
    EXPECT_NE(p.pipes[0].PipeHandle, p.pipes[1].PipeHandle);
}

TEST_F(UsbBusTest, FullSpeedLimitsBulkPacketsTo64Bytes) {
    struct Case {
        Speed port;
        bool deviceFullSpeedOnly;
        USHORT packet;
    } cases[] = {{Speed::High, false, 512}, {Speed::Full, false, 64}, {Speed::High, true, 64}};
    for (const Case& c : cases) {
        device->fullSpeedOnly = c.deviceFullSpeedOnly;
        Plug({.speed = c.port});
        BoardPipes p = Configure();
        for (const auto& pipe : p.pipes)
            EXPECT_EQ(pipe.MaximumPacketSize, c.packet);
        bus.reset();
    }
}

TEST_F(UsbBusTest, MalformedSelectionsAreRefused) {
    Plug();
    // The device's descriptor, as a driver would pass it.
    std::vector<uint8_t> config = device->Descriptor(2, 0, 0, Speed::High);
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    struct Case {
        const char* what;
        int headerDelta;    // added to the URB's Length
        int interfaceDelta; // added to the interface record's Length
        UCHAR interfaceNumber;
    } cases[] = {{"URB shorter than its interface record", -8, 0, 0},
                 {"interface record without room for its pipes", 0, -24, 0},
                 {"interface the device does not have", 0, 0, 5}};
    for (const Case& c : cases) {
        USBD_INTERFACE_LIST_ENTRY list[2] = {};
        list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
        PURB select = USBD_CreateConfigurationRequestEx(cd, list);
        ASSERT_NE(select, nullptr);
        select->UrbHeader.Length = USHORT(select->UrbHeader.Length + c.headerDelta);
        list[0].Interface->Length = USHORT(list[0].Interface->Length + c.interfaceDelta);
        list[0].Interface->InterfaceNumber = c.interfaceNumber;
        UrbRequest r(Pdo(), 8);
        EXPECT_EQ(r.Send(IOCTL_INTERNAL_USB_SUBMIT_URB, select), STATUS_INVALID_PARAMETER)
            << c.what;
        EXPECT_TRUE(USBD_ERROR(select->UrbHeader.Status)) << c.what;
        ExFreePool(select);
    }
}

TEST_F(UsbBusTest, UrbAndIrpStatusAgreeForRefusedRequests) {
    Plug();
    BoardPipes p = Configure();
    struct Case {
        const char* what;
        USHORT function;
        USHORT length;
        bool stalePipe;
        USBD_STATUS urb;
        NTSTATUS irp;
    } cases[] = {
        {"isochronous transfer", URB_FUNCTION_ISOCH_TRANSFER, sizeof(URB), false,
         USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
        {"unknown function", 0x3F, sizeof(URB), false, USBD_STATUS_INVALID_URB_FUNCTION,
         STATUS_INVALID_PARAMETER},
        {"bulk transfer with a short header", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 64, false,
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"bulk transfer on a pipe of an old configuration", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
         sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), true, USBD_STATUS_INVALID_PIPE_HANDLE,
         STATUS_INVALID_PARAMETER},
    };
    uint8_t buffer[8];
    for (const Case& c : cases) {
        if (c.stalePipe) {
            ASSERT_EQ(Deconfigure(Pdo()), STATUS_SUCCESS);
        }
        UrbRequest r(Pdo());
        BuildBulk(r.Urb(), p.pipes[0].PipeHandle, buffer, sizeof(buffer), false);
        r.Urb()->UrbHeader.Function = c.function;
        r.Urb()->UrbHeader.Length = c.length;
        EXPECT_EQ(r.Send(), c.irp) << c.what;
        ASSERT_TRUE(r.Wait()) << c.what;
        EXPECT_EQ(r.Status(), c.irp) << c.what;
        EXPECT_EQ(r.Urb()->UrbHeader.Status, c.urb) << c.what;
    }
    EXPECT_EQ(bus->Counters().refused, 4u);
}

TEST_F(UsbBusTest, VendorRequestsCarryTheirSetupAndDataStage) {
    Plug();
    uint8_t in[4] = {};
    EXPECT_EQ(VendorRequest(Pdo(), 0x30, 0x1234, 0x5678, in, sizeof(in), true), STATUS_SUCCESS);
    EXPECT_EQ(in[0], 0x30);
    EXPECT_EQ(in[3], 0x33);
    uint8_t out[3] = {9, 8, 7};
    EXPECT_EQ(VendorRequest(Pdo(), 0x23, 0x51, 0x51, out, sizeof(out), false), STATUS_SUCCESS);
    EXPECT_EQ(device->Written(), std::vector<uint8_t>({9, 8, 7}));
    USBD_STATUS urb = 0;
    EXPECT_EQ(VendorRequest(Pdo(), 0xEE, 0, 0, nullptr, 0, false, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb, USBD_STATUS_STALL_PID);
    auto setups = device->Setups();
    ASSERT_EQ(setups.size(), 3u);
    EXPECT_EQ(setups[0].requestType, 0xC0); // device to host, vendor, device
    EXPECT_EQ(setups[0].value, 0x1234);
    EXPECT_EQ(setups[0].index, 0x5678);
    EXPECT_EQ(setups[0].length, 4);
    EXPECT_EQ(setups[1].requestType, 0x40);
}

TEST_F(UsbBusTest, BulkOutCompletesAtOnceAndInPendsUntilDataArrives) {
    Plug();
    BoardPipes p = Configure();
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    UrbRequest w(Pdo());
    BuildBulk(w.Urb(), p.pipes[0].PipeHandle, const_cast<uint8_t*>(data), sizeof(data), false);
    EXPECT_EQ(w.Send(), STATUS_SUCCESS) << "an OUT the device takes at once does not pend";
    EXPECT_EQ(w.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
    EXPECT_EQ(w.CompletionThread(), std::this_thread::get_id());

    Read& r = StartRead(p.pipes[1].PipeHandle, 16);
    ASSERT_TRUE(bus->WaitForPending(1, 10s));
    EXPECT_FALSE(r.request->Completed());
    device->Push(kIn, {7, 7, 7}); // a short packet ends the transfer
    ASSERT_TRUE(r.request->Wait());
    EXPECT_EQ(r.request->Status(), STATUS_SUCCESS);
    EXPECT_EQ(r.Moved(), 3u);
    EXPECT_EQ(r.request->CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_NE(r.request->CompletionThread(), std::this_thread::get_id());
    EXPECT_TRUE(bus->WaitForIdle(10s));
}

TEST_F(UsbBusTest, PendingTransfersEndByCancelAbortOrUnplug) {
    struct Case {
        const char* how;
        NTSTATUS status;
        USBD_STATUS urb;
    } cases[] = {{"IoCancelIrp", STATUS_CANCELLED, USBD_STATUS_CANCELED},
                 {"ABORT_PIPE", STATUS_CANCELLED, USBD_STATUS_CANCELED},
                 {"unplug", STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE}};
    for (const Case& c : cases) {
        Plug();
        BoardPipes p = Configure();
        device->hangOut = true;
        const uint8_t byte = 0;
        UrbRequest w(Pdo());
        BuildBulk(w.Urb(), p.pipes[0].PipeHandle, const_cast<uint8_t*>(&byte), 1, false);
        EXPECT_EQ(w.Send(), STATUS_PENDING) << "a write the device never ends pends";
        Read& a = StartRead(p.pipes[1].PipeHandle);
        Read& b = StartRead(p.pipes[1].PipeHandle);
        ASSERT_TRUE(bus->WaitForPending(3, 10s));
        if (std::string(c.how) == "IoCancelIrp") {
            // A read may be in the bus's hands at this moment (it tries the
            // device again whenever another read arrives), without a cancel
            // routine: IoCancelIrp then answers FALSE, and the bus ends the
            // read as cancelled when it gives it back. What counts is how
            // each transfer ends. The hung write always has its routine.
            a.request->Cancel();
            b.request->Cancel();
            EXPECT_TRUE(w.Cancel());
        } else if (std::string(c.how) == "ABORT_PIPE") {
            EXPECT_EQ(PipeRequest(Pdo(), URB_FUNCTION_ABORT_PIPE, p.pipes[1].PipeHandle),
                      STATUS_SUCCESS);
            EXPECT_EQ(PipeRequest(Pdo(), URB_FUNCTION_ABORT_PIPE, p.pipes[0].PipeHandle),
                      STATUS_SUCCESS);
        } else {
            bus->Unplug();
        }
        for (UrbRequest* r : {a.request.get(), b.request.get(), &w}) {
            ASSERT_TRUE(r->Wait()) << c.how;
            EXPECT_EQ(r->Status(), c.status) << c.how;
            EXPECT_EQ(r->Urb()->UrbHeader.Status, c.urb) << c.how;
            EXPECT_EQ(r->Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u) << c.how;
        }
        EXPECT_TRUE(bus->WaitForIdle(10s)) << c.how;
        device->hangOut = false;
        reads.clear();
        bus.reset();
    }
}

// The window the test above tolerates, made to happen: cancelled while the
// bus is trying the device for it, a read is not lost but ends cancelled as
// soon as the bus has finished with it.
TEST_F(UsbBusTest, CancelWhileTheBusTriesTheDeviceEndsTheRead) {
    Plug();
    BoardPipes p = Configure();
    device->HoldIn();
    Read& r = StartRead(p.pipes[1].PipeHandle);
    ASSERT_TRUE(device->WaitInHeld());
    EXPECT_FALSE(r.request->Cancel()) << "the bus holds the read without a cancel routine";
    EXPECT_FALSE(r.request->Completed());
    device->ReleaseIn(); // nothing to read: the bus would put the read back
    ASSERT_TRUE(r.request->Wait());
    EXPECT_EQ(r.request->Status(), STATUS_CANCELLED);
    EXPECT_EQ(r.UrbStatus(), USBD_STATUS_CANCELED);
    EXPECT_EQ(r.Moved(), 0u);
    EXPECT_TRUE(bus->WaitForIdle(10s));
}

TEST_F(UsbBusTest, UnplugFailsEverythingUntilReplug) {
    Plug();
    BoardPipes p = Configure();
    bus->Unplug();
    EXPECT_FALSE(bus->Connected());
    uint8_t buffer[18];
    ULONG bits = 0xFF;
    EXPECT_EQ(GetDescriptor(Pdo(), 1, buffer, sizeof(buffer)), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(BulkWrite(Pdo(), p.pipes[0].PipeHandle, buffer, 1), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(PortStatus(Pdo(), &bits), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(device->detaches, 1);

    bus->Replug();
    EXPECT_EQ(device->attaches, 2);
    EXPECT_EQ(PortStatus(Pdo(), &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    EXPECT_EQ(BulkWrite(Pdo(), p.pipes[0].PipeHandle, buffer, 1), STATUS_INVALID_PARAMETER)
        << "a replugged device is unconfigured: old pipe handles are gone";
    Configure();
}

TEST_F(UsbBusTest, DisabledPortFailsTransfersUntilPortReset) {
    Plug();
    BoardPipes p = Configure();
    Read& r = StartRead(p.pipes[1].PipeHandle);
    ASSERT_TRUE(bus->WaitForPending(1, 10s));
    bus->SetPortEnabled(false);
    ASSERT_TRUE(r.request->Wait());
    EXPECT_EQ(r.request->Status(), STATUS_UNSUCCESSFUL);
    ULONG bits = 0;
    EXPECT_EQ(PortStatus(Pdo(), &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, ULONG(USBD_PORT_CONNECTED));
    uint8_t byte = 0;
    EXPECT_EQ(BulkWrite(Pdo(), p.pipes[0].PipeHandle, &byte, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ResetPort(Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(device->portResets, 1);
    EXPECT_EQ(PortStatus(Pdo(), &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    EXPECT_EQ(BulkWrite(Pdo(), p.pipes[0].PipeHandle, &byte, 1), STATUS_SUCCESS);
    EXPECT_EQ(
        PipeRequest(Pdo(), URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, p.pipes[0].PipeHandle),
        STATUS_SUCCESS);
    EXPECT_EQ(device->pipeResets, 1);
}

// A suspended port moves nothing: the read outstanding at the suspend waits
// and gets the data after the resume; what needs the device now fails.
TEST_F(UsbBusTest, SuspendedPortHoldsReadsAndFailsTheRestUntilResume) {
    Plug();
    BoardPipes p = Configure();
    Read& r = StartRead(p.pipes[1].PipeHandle);
    ASSERT_TRUE(bus->WaitForPending(1, 10s));
    bus->Suspend();
    bus->Suspend(); // once is enough: the device hears of it once
    EXPECT_TRUE(bus->Suspended());
    EXPECT_EQ(device->suspends, 1);
    device->Push(kIn, {1, 2, 3});
    uint8_t byte = 0;
    ULONG bits = 0;
    EXPECT_EQ(BulkWrite(Pdo(), p.pipes[0].PipeHandle, &byte, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(VendorRequest(Pdo(), 0x10, 0, 0, nullptr, 0, false), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ResetPort(Pdo()), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(PortStatus(Pdo(), &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    EXPECT_FALSE(r.request->Completed());
    EXPECT_EQ(device->Queued(kIn), 1u) << "the device was read while suspended";

    bus->Resume();
    EXPECT_EQ(device->resumes, 1);
    ASSERT_TRUE(r.request->Wait());
    EXPECT_EQ(r.request->Status(), STATUS_SUCCESS);
    EXPECT_EQ(r.Moved(), 3u);
    EXPECT_EQ(BulkWrite(Pdo(), p.pipes[0].PipeHandle, &byte, 1), STATUS_SUCCESS);
    const auto counters = bus->Counters();
    EXPECT_EQ(counters.suspends, 1u);
    EXPECT_EQ(counters.resumes, 1u);
}

TEST_F(UsbBusTest, OnePipeCompletesInOrderWhileTwoPipesCompleteAtOnce) {
    Plug();
    BoardPipes p = Configure();
    // Two completions that wait for each other can only both finish if the
    // bus runs them at the same time.
    static std::atomic<int> arrived;
    arrived = 0;
    struct Rendezvous {
        static NTSTATUS Routine(PDEVICE_OBJECT, PIRP, PVOID) {
            ++arrived;
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (arrived < 2 && std::chrono::steady_clock::now() < deadline) {
            }
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    };
    std::vector<uint8_t> b1(8), b2(8);
    PIRP irps[2];
    URB urbs[2] = {};
    for (int i = 0; i < 2; ++i) {
        irps[i] = IoAllocateIrp(Pdo()->StackSize, FALSE);
        BuildBulk(&urbs[i], p.pipes[1 + i].PipeHandle, (i ? b2 : b1).data(), 8, true);
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irps[i]);
        sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        sp->Parameters.Others.Argument1 = &urbs[i];
        sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        IoSetCompletionRoutine(irps[i], Rendezvous::Routine, nullptr, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(Pdo(), irps[i]), STATUS_PENDING);
    }
    device->Push(kIn, {1});
    device->Push(kIn2, {2});
    EXPECT_TRUE(bus->WaitForIdle(10s));
    EXPECT_EQ(bus->Counters().maxConcurrentCompletions, 2u);
    for (PIRP irp : irps)
        IoFreeIrp(irp);

    // Ten reads on one pipe see ten chunks in the order they were sent.
    for (int i = 0; i < 10; ++i)
        StartRead(p.pipes[1].PipeHandle, 1);
    for (int i = 0; i < 10; ++i)
        device->Push(kIn, {uint8_t(i)});
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(reads[i].request->Wait());
        EXPECT_EQ(reads[i].buffer[0], i);
    }
}

TEST_F(UsbBusTest, CancelRacingCompletionEndsEachTransferExactlyOnce) {
    Plug();
    BoardPipes p = Configure();
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        while (!stop) {
            if (device->Queued(kIn) < 4)
                device->Push(kIn, {0x5A});
            else
                std::this_thread::yield();
        }
    });
    for (int i = 0; i < 200; ++i) {
        Read& r = StartRead(p.pipes[1].PipeHandle, 1);
        r.request->Cancel();
        ASSERT_TRUE(r.request->Wait());
        const NTSTATUS s = r.request->Status();
        EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED) << std::hex << s;
        EXPECT_EQ(r.Moved(), s == STATUS_SUCCESS ? 1u : 0u);
        reads.clear();
    }
    stop = true;
    feeder.join();
}

TEST_F(UsbBusTest, UsbdiVersionIsConfigurable) {
    USBD_VERSION_INFORMATION v{};
    host::usb::SetUsbdiVersion(0x100, 0x110);
    USBD_GetUSBDIVersion(&v);
    EXPECT_EQ(v.USBDI_Version, 0x100u);
    EXPECT_EQ(v.Supported_USB_Version, 0x110u);
    host::usb::SetUsbdiVersion(0x600, 0x200);
    USBD_GetUSBDIVersion(&v);
    EXPECT_EQ(v.USBDI_Version, 0x600u);
}

TEST_F(UsbBusTest, DescriptorParsingStopsAtMalformedLengths) {
    uint8_t config[] = {9, 2, 34, 0,    2, 1, 0, 0x80, 50, 9, 4, 0, 0, 1,    0xFF, 0, 0,
                        0, 7, 5,  0x81, 2, 0, 2, 0,    9,  4, 1, 0, 0, 0x0E, 1,    0, 0};
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config);
    struct Case {
        LONG number, alt, cls;
        int expectedOffset; // -1: none
    } cases[] = {{0, 0, -1, 9}, {1, 0, -1, 25}, {-1, -1, 0x0E, 25}, {2, 0, -1, -1}, {0, 1, -1, -1}};
    for (const Case& c : cases) {
        auto* found = USBD_ParseConfigurationDescriptorEx(cd, cd, c.number, c.alt, c.cls, -1, -1);
        EXPECT_EQ(found ? int(reinterpret_cast<uint8_t*>(found) - config) : -1, c.expectedOffset)
            << c.number << "/" << c.alt << "/" << c.cls;
    }
    config[18] = 0; // an endpoint claiming zero length must not loop or run on
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 0, -1, -1, -1), nullptr);
    config[18] = 200; // nor one that runs past wTotalLength
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 0, -1, -1, -1), nullptr);
}

TEST_F(UsbBusTest, ConfigurationRequestHasOneRecordPerInterfaceWithItsPipes) {
    uint8_t config[] = {9,    2, 41, 0, 2, 1, 0,    0x80, 50, 9,    4, 0, 0, 2,
                        0xFF, 0, 0,  0, 7, 5, 0x01, 2,    0,  2,    0, 7, 5, 0x81,
                        2,    0, 2,  0, 9, 4, 1,    0,    0,  0xFF, 0, 0, 0};
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config);
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    ASSERT_NE(urb, nullptr);
    const size_t first = GET_USBD_INTERFACE_SIZE(2), second = GET_USBD_INTERFACE_SIZE(0);
    EXPECT_EQ(urb->UrbHeader.Length, 40 + first + second);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(list[0].Interface) - reinterpret_cast<uint8_t*>(urb), 40);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(list[1].Interface) -
                  reinterpret_cast<uint8_t*>(list[0].Interface),
              ptrdiff_t(first));
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[0].Interface->Pipes[1].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    ExFreePool(urb);
}

} // namespace
