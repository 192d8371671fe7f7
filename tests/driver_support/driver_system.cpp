#include "driver_system.h"

#include <host/services.h>
#include <sim/firmware_image.h>

#include <filesystem>
#include <stdexcept>

namespace m4350test {

DriverSystem::DriverSystem() {
    loadStatus_ = host::ks::LoadDriver(
        DriverEntry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\m4350av",
        &driver_);
}

DriverSystem::~DriverSystem() {
    for (SimulatedBoard& board : boards_) {
        Remove(board);
    }
    if (driver_) {
        host::ks::UnloadDriver(driver_);
    }
    // The buses go last: every device stack on them is gone by now.
    boards_.clear();
}

SimulatedBoard& DriverSystem::Plug(std::shared_ptr<host::usb::DeviceModel> model,
                                   host::usb::BusOptions options) {
    boards_.emplace_back();
    SimulatedBoard& board = boards_.back();
    board.model = std::move(model);
    board.bus = std::make_unique<host::usb::Bus>(board.model, options);
    addStatus_ = host::ks::AddDevice(driver_, board.bus->Pdo(), &board.node);
    if (!NT_SUCCESS(addStatus_)) {
        board.node = nullptr;
    }
    return board;
}

NTSTATUS DriverSystem::Start(SimulatedBoard& board) {
    return host::ks::StartDevice(board.node);
}

NTSTATUS DriverSystem::Stop(SimulatedBoard& board) {
    return host::ks::StopDevice(board.node);
}

NTSTATUS DriverSystem::SetPower(SimulatedBoard& board, DEVICE_POWER_STATE state) {
    return host::ks::SetDevicePowerState(board.node, state);
}

void DriverSystem::Remove(SimulatedBoard& board) {
    if (board.node) {
        host::ks::RemoveDevice(board.node);
        board.node = nullptr;
    }
}

std::string DriverSystem::FirmwarePath() {
    return (host::SystemRoot() / "system32" / "drivers" / "f4350usb.bin").string();
}

void DriverSystem::InstallFirmware() {
    std::string error;
    if (!m4350::sim::WriteFirmwareFile(FirmwarePath(), &error)) {
        throw std::runtime_error("cannot write the firmware image: " + error);
    }
}

void DriverSystem::RemoveFirmware() {
    std::filesystem::remove(FirmwarePath());
}

} // namespace m4350test
