#include "board_rig.h"
#include "driver_choice.h"

#include <host/kernel.h>
#include <host/ks_pnp.h>
#include <host/services.h>
#include <sim/firmware_image.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

namespace m4350::tools {

namespace {

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// Reads a whole file; false when it cannot be read.
bool ReadFile(const std::filesystem::path& path, std::vector<uint8_t>* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string HowToMakeImage(const std::filesystem::path& path) {
    return "make one with `m4350fwimage " + path.string() +
           "` (built as build/default/bin/m4350fwimage), or leave out --firmware and the "
           "tools make one in the system root";
}

} // namespace

std::filesystem::path DefaultSystemRoot() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::filesystem::path(state) / "m4350";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local" / "state" / "m4350";
    return std::filesystem::current_path() / "m4350-state";
}

std::filesystem::path FirmwarePath(const std::filesystem::path& systemRoot) {
    return systemRoot / "system32" / "drivers" / "f4350usb.bin";
}

BoardRig::~BoardRig() {
    TearDown();
}

std::vector<host::usb::HostController*> BoardRig::Controllers() const {
    std::vector<host::usb::HostController*> list;
    for (const auto& c : controllers_)
        list.push_back(c.get());
    return list;
}

bool BoardRig::BringUp(const RigOptions& options, std::ostream& out, std::string* error) {
    TearDown();
    if (options.boards < 1 || options.boards > kMaxBoards) {
        *error = "the number of boards must be 1 to " + std::to_string(kMaxBoards);
        return false;
    }
    root_ = options.systemRoot.empty() ? DefaultSystemRoot() : options.systemRoot;
    try {
        std::filesystem::create_directories(root_);
        root_ = std::filesystem::absolute(root_);
        host::SetSystemRoot(root_);
    } catch (const std::exception& e) {
        *error = "cannot use " + root_.string() + " as the system root: " + e.what() +
                 " (choose another with --system-root)";
        return false;
    }
    out << "system root: " << root_.string() << std::endl;

    // The firmware image the driver downloads to every board.
    const auto image = FirmwarePath(root_);
    std::error_code ec;
    if (!options.firmware.empty()) {
        std::vector<uint8_t> bytes;
        if (!ReadFile(options.firmware, &bytes)) {
            *error = "no firmware image at " + options.firmware.string() + ": " +
                     HowToMakeImage(options.firmware);
            return false;
        }
        if (auto check = sim::CheckFirmwareImage(bytes.data(), bytes.size());
            check != sim::FirmwareCheck::Ok) {
            *error = options.firmware.string() + " is not a firmware image the board boots (" +
                     sim::ToString(check) + "): " + HowToMakeImage(options.firmware);
            return false;
        }
        std::filesystem::copy_file(options.firmware, image,
                                   std::filesystem::copy_options::overwrite_existing, ec);
        if (ec) {
            *error = "cannot install the firmware image as " + image.string() + ": " + ec.message();
            return false;
        }
        out << "firmware image installed: " << image.string() << "\n";
    } else if (!std::filesystem::exists(image, ec)) {
        std::string why;
        if (!sim::WriteFirmwareFile(image.string(), &why)) {
            *error = "cannot write a firmware image to " + image.string() + ": " + why;
            return false;
        }
        out << "firmware image made: " << image.string() << "\n";
    }

    host::SetDebugEcho(options.driverLog);
    host::usb::SetDefaultBulkBytesPerMicroframe(options.busBytesPerMicroframe);

    const std::string driverImage = ChosenDriverImage(options.driverImage);
    NTSTATUS status = LoadM4350(driverImage, &driver_, error);
    if (!NT_SUCCESS(status)) {
        return false;
    }
    if (!driverImage.empty()) {
        out << "driver image loaded: " << driverImage << "\n";
    }
    for (uint32_t i = 0; i < options.boards; ++i) {
        if (controllers_.empty() || !options.sharedController)
            controllers_.push_back(
                std::make_shared<host::usb::HostController>(options.busBytesPerMicroframe));
        Slot slot;
        sim::BoardConfig config;
        config.serial = 0x00123456 + i;
        config.seed = i + 1;
        // Each board keeps its EEPROM under the system root, so what a tool wrote
        // is there in the next run, as on hardware.
        config.eepromFile = sim::EepromFileFor(root_, i);
        slot.model = std::make_shared<sim::Board>(config);
        host::usb::BusOptions bus;
        bus.controller = controllers_.back();
        slot.bus = std::make_unique<host::usb::Bus>(slot.model, bus);
        boards_.push_back(std::move(slot));
        Slot& s = boards_.back();
        status = host::ks::AddDevice(driver_, s.bus->Pdo(), &s.node);
        if (!NT_SUCCESS(status)) {
            s.node = nullptr;
            *error = "board " + std::to_string(i) + ": the driver refused the device (Add " +
                     Hex(status) + ")";
            TearDown();
            return false;
        }
        status = host::ks::StartDevice(s.node);
        // Whether the firmware runs is the board's to say: the rig reads no
        // driver record, so it works the same under a loaded driver image.
        if (!NT_SUCCESS(status)) {
            *error =
                "board " + std::to_string(i) + ": the device did not start (" + Hex(status) + ")";
            TearDown();
            return false;
        }
        if (s.model->State() != sim::BoardState::Running) {
            const auto counters = s.model->Counters();
            *error = "board " + std::to_string(i) + ": the firmware did not load";
            if (counters.firmwareRejected)
                *error += std::string(": the board refused ") + image.string() + " (" +
                          sim::ToString(counters.lastFirmwareCheck) +
                          "); delete it and the "
                          "tools make a fresh one, or make one with `m4350fwimage " +
                          image.string() + "`";
            else
                *error += " (is " + image.string() + " readable?)";
            TearDown();
            return false;
        }
    }
    return true;
}

void BoardRig::TearDown() {
    // Newest first, as devices go away when the machine shuts down.
    for (auto it = boards_.rbegin(); it != boards_.rend(); ++it) {
        if (it->node)
            host::ks::RemoveDevice(it->node);
        it->node = nullptr;
        it->bus.reset();
    }
    boards_.clear();
    controllers_.clear();
    if (driver_) {
        UnloadM4350(driver_);
        driver_ = nullptr;
    }
}

} // namespace m4350::tools
