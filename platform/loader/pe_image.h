// A driver image file (.sys) read into its in-memory layout: the checks a
// kernel makes before it maps a driver, the sections with their protection,
// the base relocations and the imports. Pure: no kernel, no mapping, so the
// fuzz target drives it with any bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host::loader {

struct PeSection {
    std::string name;
    uint32_t rva = 0;
    uint32_t size = 0; // bytes of address space, rounded up to the section alignment
    bool readable = false, writable = false, executable = false;
};

struct PeImport {
    std::string dll;      // as the image names it
    std::string name;     // the routine or variable
    uint32_t slotRva = 0; // its 8-byte slot in the import address table
};

struct PeImage {
    uint64_t preferredBase = 0;
    uint32_t entryRva = 0;
    // Headers and sections at their relative addresses, zero filled:
    // SizeOfImage bytes, ready to be copied to where the image goes.
    std::vector<uint8_t> view;
    std::vector<PeSection> sections;
    // Relative addresses of the 64-bit slots a move of the image adjusts.
    std::vector<uint32_t> relocations;
    std::vector<PeImport> imports;
    uint16_t subsystemMajor = 0, subsystemMinor = 0;
    bool hasCertificate = false;
};

// The largest image accepted; the driver is about 160 KiB.
inline constexpr uint32_t kMaxImageSize = 64u << 20;

// Reads `file` into `image`. False with `error` set to one line saying what
// is wrong ("section .text lies outside the file", ...) for anything that is
// not a 64-bit native driver image this host can map: every offset and
// address is checked before it is used.
bool ParsePeImage(const uint8_t* file, size_t size, PeImage* image, std::string* error);

} // namespace host::loader
