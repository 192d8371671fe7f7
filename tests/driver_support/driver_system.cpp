#include "driver_system.h"

#include <driver_choice.h>
#include <host/driver_image.h>
#include <host/services.h>

#include <gtest/gtest.h>
#include <sim/firmware_image.h>

#include <filesystem>
#include <stdexcept>

namespace m4350test {

const std::string& DriverImageUnderTest() {
    static const std::string image = m4350::tools::ChosenDriverImage();
    return image;
}

CaptureDevice* SimulatedBoard::device() const {
    if (!DriverImageUnderTest().empty()) {
        throw std::logic_error("a test read the driver's CaptureDevice under the driver image " +
                               DriverImageUnderTest() + ": run it against the driver built here");
    }
    return GetCaptureDevice(ksDevice());
}

DriverSystem::DriverSystem() {
    std::string error;
    loadStatus_ = m4350::tools::LoadM4350(DriverImageUnderTest(), &driver_, &error);
    if (!NT_SUCCESS(loadStatus_)) {
        ADD_FAILURE() << error;
    }
    // A test run against the image proves it talked to the image.
    if (underImage() && driver_) {
        EXPECT_TRUE(host::loader::IsDriverImage(driver_)) << "the driver is not the loaded image";
    }
}

DriverSystem::~DriverSystem() {
    for (SimulatedBoard& board : boards_) {
        // Every device the image added runs the image's dispatch tables.
        if (underImage() && board.node) {
            const PKSDEVICE device = board.ksDevice();
            EXPECT_TRUE(device && device->Descriptor && device->Descriptor->Dispatch &&
                        host::loader::IsImageAddress(device->Descriptor->Dispatch->Add.address()))
                << "a device of the image runs dispatch routines from outside it";
        }
        Remove(board);
    }
    if (driver_) {
        m4350::tools::UnloadM4350(driver_);
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
