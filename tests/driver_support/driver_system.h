// m4350av brought up the way the system does it: the driver loaded by the
// host's plug-and-play manager, each board a device model on a simulated bus
// of its own, and the driver's device stacked on the bus's device object.
//
//   DriverSystem system;                        // DriverEntry has run
//   DriverSystem::InstallFirmware();            // f4350usb.bin in the system root
//   SimulatedBoard& board = system.Plug(model); // Add has run
//   system.Start(board);                        // Start, as the PnP manager calls it
//   board.device()->board->...                  // the driver's records
//
// The destructor removes every device still present and unloads the driver,
// so a test ends with nothing of the driver alive.
#pragma once

#include "device/capture_device.h"

#include <host/ks_pnp.h>
#include <host/usb_bus.h>
#include <sim/board.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace m4350test {

struct SimulatedBoard {
    std::shared_ptr<host::usb::DeviceModel> model;
    std::unique_ptr<host::usb::Bus> bus;
    host::ks::DeviceNode* node = nullptr;

    PKSDEVICE ksDevice() const { return node ? host::ks::KsDeviceOf(node) : nullptr; }
    // The driver's own record of the device: only for the driver built here.
    // Under a loaded driver image a test has only the driver's outside (the
    // board model, the device's properties), so this throws, failing the test.
    CaptureDevice* device() const;
};

// The m4350av.sys the system tests bring their boards up under instead of
// the driver built here (M4350_DRIVER_IMAGE); empty for the driver built here.
const std::string& DriverImageUnderTest();

inline std::shared_ptr<m4350::sim::Board> MakeSimulatedBoard(m4350::sim::BoardConfig config = {}) {
    return std::make_shared<m4350::sim::Board>(config);
}

class DriverSystem {
public:
    DriverSystem();
    ~DriverSystem();
    DriverSystem(const DriverSystem&) = delete;
    DriverSystem& operator=(const DriverSystem&) = delete;

    NTSTATUS loadStatus() const { return loadStatus_; }
    // True when the driver is a loaded m4350av.sys.
    bool underImage() const { return !DriverImageUnderTest().empty(); }

    // Plugs a board in on a bus of its own and adds the driver's device for
    // it. addStatus() tells how Add went.
    SimulatedBoard& Plug(std::shared_ptr<host::usb::DeviceModel> model,
                         host::usb::BusOptions options = {});
    NTSTATUS addStatus() const { return addStatus_; }

    NTSTATUS Start(SimulatedBoard& board);
    NTSTATUS Stop(SimulatedBoard& board);
    NTSTATUS SetPower(SimulatedBoard& board, DEVICE_POWER_STATE state);
    // A system sleep and wake of one board's device (see <host/ks_pnp.h>):
    // running pins pause, the device goes to D3 and its port is suspended;
    // the wake resumes the port, then SetPower(D0) and Run in `order`.
    NTSTATUS Sleep(SimulatedBoard& board) { return host::ks::SleepDevice(board.node); }
    NTSTATUS Wake(SimulatedBoard& board, host::ks::WakeOrder order) {
        return host::ks::WakeDevice(board.node, order);
    }
    // Removes the device (stopping it first when started); the bus stays.
    void Remove(SimulatedBoard& board);

    // The firmware image the board model boots from, where the driver looks.
    static std::string FirmwarePath();
    static void InstallFirmware();
    static void RemoveFirmware();

private:
    host::ks::Driver* driver_ = nullptr;
    NTSTATUS loadStatus_ = STATUS_UNSUCCESSFUL;
    NTSTATUS addStatus_ = STATUS_UNSUCCESSFUL;
    std::deque<SimulatedBoard> boards_;
};

} // namespace m4350test
