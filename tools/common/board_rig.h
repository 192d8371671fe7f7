// The board rig the tools share: it brings up one or more simulated boards
// under m4350av through the host's plug-and-play manager, the way Windows
// would on plugging them in, and takes them down again. Everything a tool
// does afterwards goes through the client side (host::ks), as an
// application's requests would.
//
//   m4350::tools::RigOptions options;      // one board, USB 2.0 bus limit on
//   m4350::tools::BoardRig rig;
//   std::string error;
//   if (!rig.BringUp(options, std::cerr, &error)) { std::cerr << error; return 1; }
//   auto links = host::ks::EnumerateFilters(KSCATEGORY_VIDEO); // 4 per board
//   rig.Model(0).Counters();               // the board model's own view
//   rig.TearDown();                         // or let the destructor do it
//
// The system root is persistent (registry, settings files, firmware image,
// each board's EEPROM in m4350sim/eeprom<n>.bin),
// so settings carry from one run to the next as on a real machine.
#pragma once

#include <host/usb_bus.h>
#include <sim/board.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace host::ks {
struct Driver;
struct DeviceNode;
} // namespace host::ks

namespace m4350::tools {

inline constexpr uint32_t kMaxBoards = 8; // boards that keep settings files of their own

struct RigOptions {
    uint32_t boards = 1;
    // Empty: DefaultSystemRoot().
    std::filesystem::path systemRoot;
    // A firmware image to install; empty: keep the one in the system root,
    // or make one there when there is none.
    std::filesystem::path firmware;
    // Bulk bytes per 125 us microframe each host controller carries; 0: no
    // limit. Default: what USB 2.0 high speed allows.
    uint32_t busBytesPerMicroframe = host::usb::kHighSpeedBulkBytesPerMicroframe;
    // All boards on one host controller (sharing its bandwidth) instead of
    // one controller each.
    bool sharedController = false;
    // Where the driver's debug log goes: "" nowhere, "stderr" or a file.
    std::string driverLog;
    // The m4350av.sys to load instead of the driver built here; empty: the
    // environment's M4350_DRIVER_IMAGE, else the driver built here.
    std::string driverImage;
};

// $XDG_STATE_HOME/m4350, else ~/.local/state/m4350, else ./m4350-state.
std::filesystem::path DefaultSystemRoot();

// Where the driver loads its firmware image from under a system root.
std::filesystem::path FirmwarePath(const std::filesystem::path& systemRoot);

class BoardRig {
public:
    BoardRig() = default;
    ~BoardRig();
    BoardRig(const BoardRig&) = delete;
    BoardRig& operator=(const BoardRig&) = delete;

    // Sets the system root and the bus limit, makes or installs the firmware
    // image, loads the driver and adds and starts one device per board.
    // Progress lines (the system root first) go to `out`. False with `error`
    // set to what a person can act on; what was brought up is taken down.
    bool BringUp(const RigOptions& options, std::ostream& out, std::string* error);
    // Removes every device (closing what is still open on them) and unloads
    // the driver. Safe to call twice.
    void TearDown();

    uint32_t Boards() const { return uint32_t(boards_.size()); }
    const std::filesystem::path& SystemRoot() const { return root_; }
    sim::Board& Model(uint32_t board) const { return *boards_.at(board).model; }
    host::usb::Bus& Bus(uint32_t board) const { return *boards_.at(board).bus; }
    host::ks::DeviceNode* Device(uint32_t board) const { return boards_.at(board).node; }
    // The distinct host controllers, in board order.
    std::vector<host::usb::HostController*> Controllers() const;

private:
    struct Slot {
        std::shared_ptr<sim::Board> model;
        std::unique_ptr<host::usb::Bus> bus;
        host::ks::DeviceNode* node = nullptr;
    };
    std::filesystem::path root_;
    host::ks::Driver* driver_ = nullptr;
    std::vector<std::shared_ptr<host::usb::HostController>> controllers_;
    std::vector<Slot> boards_;
};

} // namespace m4350::tools
