// The 8 KiB EEPROM of the board's USB controller, with the serial number
// record at its top. It can live in a file, so that what a tool wrote
// survives to the next run as it does on hardware; tests keep theirs in
// memory. Not synchronised: the Board serialises access under its lock.
#pragma once

#include <sim/protocol.h>

#include <cstdint>
#include <filesystem>
#include <vector>

namespace m4350::sim {

class ControllerEeprom {
public:
    // In memory: 0xFF everywhere but the serial record (AA BB CC DD, eight
    // zero bytes, the serial most significant byte first). With a file: its
    // contents when it holds exactly 8 KiB, else the fresh contents above,
    // written to it at once.
    explicit ControllerEeprom(uint32_t serial, std::filesystem::path file = {});

    // False (and nothing moved) for an access beyond the 8 KiB.
    bool Read(uint32_t address, uint8_t* out, uint32_t length) const;
    // Writes through to the file when there is one.
    bool Write(uint32_t address, const uint8_t* data, uint32_t length);

    std::vector<uint8_t> Bytes() const;
    const std::filesystem::path& File() const { return file_; }
    // Whether the last write to the file worked (always true in memory).
    bool FileOk() const { return fileOk_; }

private:
    void Persist();

    std::vector<uint8_t> bytes_;
    std::filesystem::path file_;
    bool fileOk_ = true;
};

// Where a tool keeps board n's EEPROM under a system root:
// <root>/m4350sim/eeprom<n>.bin.
std::filesystem::path EepromFileFor(const std::filesystem::path& root, unsigned board);

} // namespace m4350::sim
