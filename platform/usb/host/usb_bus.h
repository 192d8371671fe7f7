// The simulated USB bus: one port with one device on it, and the device
// object (the PDO) a client driver's stack sits on. Tests and tools include
// this as <host/usb_bus.h>; kernel code never does, it only sends URBs to the
// next-lower device.
//
//   auto board = std::make_shared<m4350::sim::Board>(config);   // any DeviceModel
//   host::usb::Bus bus(board);                                   // plugged in
//   PDEVICE_OBJECT pdo = bus.Pdo();          // attach the driver's FDO on top
//   ...
//   bus.Unplug();  bus.Replug();  bus.Counters();
//
// What the bus does for the PDO: IRP_MJ_INTERNAL_DEVICE_CONTROL with
// IOCTL_INTERNAL_USB_SUBMIT_URB (descriptors, configuration selection, vendor
// requests, bulk transfers, pipe abort and reset), GET_PORT_STATUS and
// RESET_PORT. Bulk IN transfers always pend and complete later on the bus's
// completion threads at DISPATCH_LEVEL; two completions can run at the same
// time (for different pipes, or for one pipe when ordered completion is
// switched off). Everything else completes at once in the caller's context,
// except what the device model leaves hanging. Every pending transfer can be
// cancelled with IoCancelIrp, is completed STATUS_CANCELLED by ABORT_PIPE and
// STATUS_DEVICE_NOT_CONNECTED by an unplug.
//
// A device power IRP (IRP_MN_SET_POWER) for D2 or D3 on the PDO suspends the
// port, one for D0 resumes it. While suspended, bulk IN transfers outstanding
// or sent meanwhile stay pending (they can still be cancelled or aborted) and
// go on after the resume; control requests, bulk OUT transfers and selecting
// a configuration fail with USBD_STATUS_DEV_NOT_RESPONDING, and RESET_PORT is
// refused. An unplug ends the suspension.
//
// The bus must outlive every device stack built on its PDO.
#pragma once

#include <wdm.h>
#include <usbdi.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace host::usb {

enum class Speed { Full, High };

struct SetupPacket {
    uint8_t requestType; // bmRequestType: direction, type and recipient bits
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

// A device model's answer to one transfer.
struct TransferResult {
    enum class Kind {
        Done, // ended: `status` and `bytes` say how
        Nak,  // no data yet (IN): the transfer waits for Port::InDataReady
        Hang, // the device never ends it; only cancel, abort or unplug do
    };
    Kind kind = Kind::Done;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    uint32_t bytes = 0;

    static TransferResult Ok(uint32_t bytes) { return {Kind::Done, USBD_STATUS_SUCCESS, bytes}; }
    static TransferResult Error(USBD_STATUS status) { return {Kind::Done, status, 0}; }
    static TransferResult Stall() { return Error(USBD_STATUS_STALL_PID); }
    static TransferResult NotReady() { return {Kind::Nak, USBD_STATUS_SUCCESS, 0}; }
    static TransferResult Hung() { return {Kind::Hang, USBD_STATUS_SUCCESS, 0}; }
};

// The bus as a device model sees it. Safe to call from any thread, but never
// while the model holds a lock that its own callbacks take.
class Port {
public:
    // IN data may be ready: pending IN transfers are tried again.
    virtual void InDataReady() = 0;
    // The device goes away as soon as the bus gets to it (a bus thread runs
    // the unplug, never the caller).
    virtual void RequestUnplug() = 0;

protected:
    ~Port() = default;
};

// A device on the bus. The bus calls it from the thread that submitted the
// request (control, OUT), from its own threads (IN) and from host calls
// (Attach, Detach), never with a bus lock held.
class DeviceModel {
public:
    virtual ~DeviceModel() = default;

    virtual Speed MaxSpeed() const { return Speed::High; }
    // Plugged in and powered. `port` stays valid until Detach.
    virtual void Attach(Port* port, Speed speed) {}
    // Unplugged: power is gone. No call follows until the next Attach.
    virtual void Detach() {}
    // The port is suspended (its device went to D2 or D3): the bus carries
    // nothing until Resume. A bus-powered device may lose its power here.
    virtual void Suspend() {}
    // The port is resumed; transfers flow again.
    virtual void Resume() {}

    // GET_DESCRIPTOR: the whole descriptor (for a configuration, all of it,
    // wTotalLength bytes); empty makes the request stall. At full speed the
    // bus limits bulk endpoints to 64-byte packets whatever the model says.
    virtual std::vector<uint8_t> Descriptor(uint8_t type, uint8_t index, uint16_t language,
                                            Speed speed) = 0;
    // SET_CONFIGURATION as the stack does it on select (0: deconfigured).
    virtual void Configured(uint8_t configurationValue) {}

    // A control transfer on the default pipe; `data` holds setup.length bytes
    // (written for device-to-host requests).
    virtual TransferResult Control(const SetupPacket& setup, uint8_t* data) = 0;
    virtual TransferResult BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) = 0;
    // Fill at most `capacity` bytes. Fewer than `capacity` ends the transfer
    // as a short packet does.
    virtual TransferResult BulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) = 0;

    virtual void PipeReset(uint8_t endpoint) {}
    virtual void PortReset() {}
};

// The bulk bandwidth of one host controller, shared by every bus (port) on
// it. A high-speed controller moves at most 13 bulk packets of 512 bytes per
// 125 us microframe (53.248 MB/s); real ones reach 30 to 42 MB/s, so a lower
// limit can be set. The limit runs in the platform's scaled time, like the
// board's pacing: at scale 0.01 the bus is a hundred times faster too.
//
//   auto hc = std::make_shared<host::usb::HostController>(
//       host::usb::kHighSpeedBulkBytesPerMicroframe);
//   host::usb::Bus a(boardA, {.controller = hc}), b(boardB, {.controller = hc});
//   hc->BulkBytes();   // what both carried
inline constexpr uint32_t kHighSpeedBulkBytesPerMicroframe = 13 * 512;
inline constexpr std::chrono::nanoseconds kMicroframe{125000};

class HostController {
public:
    // 0 bytes per microframe: no limit. The default is the process's
    // (SetDefaultBulkBytesPerMicroframe).
    explicit HostController(uint32_t bulkBytesPerMicroframe);
    HostController();
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    void SetBulkLimit(uint32_t bytesPerMicroframe);
    uint32_t BulkLimit() const;
    // The limit in bytes per second of real time; 0 when there is none.
    double BulkLimitBytesPerSecond() const;
    // Bulk bytes its buses moved, both directions.
    uint64_t BulkBytes() const;

    // Books bus time for `bytes` of bulk data that start moving now and
    // returns when the last of them has crossed (now, without a limit).
    // Transfers of all buses on the controller take turns; an idle bus
    // builds up no more than one millisecond of credit.
    std::chrono::steady_clock::time_point Carry(uint32_t bytes);
    // The same, for bytes that start moving at `now`.
    std::chrono::steady_clock::time_point CarryAt(uint32_t bytes,
                                                  std::chrono::steady_clock::time_point now);

private:
    mutable std::mutex m_;
    uint32_t limit_;
    std::chrono::steady_clock::time_point busyUntil_{};
    uint64_t bytes_ = 0;
};

// The limit of controllers made without one, process-wide. It starts at 0
// (no limit), so tests see an unlimited bus unless they ask for one; the
// tools switch it on.
void SetDefaultBulkBytesPerMicroframe(uint32_t bytesPerMicroframe);
uint32_t DefaultBulkBytesPerMicroframe();

struct BusOptions {
    // The port's speed; a device that can do less runs at its own.
    Speed speed = Speed::High;
    // Completions of one pipe run one at a time, in the order the transfers
    // ended, as a host controller delivers them. Off, two completions of the
    // same pipe may run at once (and so reach the driver out of order).
    bool orderedPipes = true;
    // Stack locations of the PDO; a driver attached on top gets one more.
    CCHAR stackSize = 1;
    // The host controller whose bandwidth the bus shares; null: one of its
    // own with the process's default limit.
    std::shared_ptr<HostController> controller;
};

struct BusCounters {
    std::array<uint64_t, 0x40> urbs{}; // submitted, by URB function (higher ones: refused only)
    uint64_t refused = 0;              // unknown function or malformed URB
    uint64_t notConnected = 0;         // refused because the device was unplugged
    uint64_t completedAtOnce = 0;      // in the caller's context
    uint64_t completedByBus = 0;       // on a bus thread at DISPATCH_LEVEL
    uint64_t cancelled = 0;            // by IoCancelIrp
    uint64_t aborted = 0;              // by ABORT_PIPE, deconfiguration
    uint64_t portStatusQueries = 0;
    uint64_t portResets = 0;
    uint64_t pipeResets = 0;
    uint64_t abortRequests = 0;
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    uint64_t unplugs = 0;
    uint64_t replugs = 0;
    uint64_t suspends = 0;
    uint64_t resumes = 0;
    uint32_t maxConcurrentCompletions = 0;
    uint32_t pendingNow = 0; // transfers held by the bus right now
};

class Bus {
public:
    // Creates the PDO and plugs `device` in. Throws std::runtime_error when
    // the device object cannot be created (pool faults reach it too).
    explicit Bus(std::shared_ptr<DeviceModel> device, BusOptions options = {});
    // Unplugs (pending transfers fail), stops the bus threads, deletes the PDO.
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    PDEVICE_OBJECT Pdo() const;
    DeviceModel& Device() const;

    // Pulls the cable: every pending transfer completes with
    // STATUS_DEVICE_NOT_CONNECTED (USBD_STATUS_DEVICE_GONE) and every later
    // request fails the same way until Replug. The configuration is lost.
    void Unplug();
    // Plugs the same device in again, unconfigured and freshly powered.
    void Replug();
    bool Connected() const;

    // A connected port can be disabled (as after a babble or an overcurrent
    // event): transfers then fail until RESET_PORT enables it again.
    void SetPortEnabled(bool enabled);
    bool PortEnabled() const;

    // Suspends or resumes the port as the power requests on the PDO do (see
    // above); nothing happens on an unplugged port or one already there.
    void Suspend();
    void Resume();
    bool Suspended() const;

    Speed CurrentSpeed() const;
    BusCounters Counters() const;
    HostController& Controller() const;

    // Waits (at most `bound`) until the bus holds at least `count` pending
    // transfers; false on time-out.
    bool WaitForPending(uint32_t count, std::chrono::milliseconds bound) const;
    // Waits (at most `bound`) until the bus holds no transfer, its last
    // completion routine included; false on time-out.
    bool WaitForIdle(std::chrono::milliseconds bound) const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// What USBD_GetUSBDIVersion reports, process-wide. Starts at 0x600 / 0x200.
void SetUsbdiVersion(ULONG usbdiVersion, ULONG supportedUsbVersion = 0x200);
USBD_VERSION_INFORMATION UsbdiVersion();

} // namespace host::usb
