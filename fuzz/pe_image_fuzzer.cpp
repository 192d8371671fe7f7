// The loader's reading of a driver image file under arbitrary bytes: every
// offset, size and address of the headers, sections, relocations and imports
// is checked before use, so any file either reads or is refused with a
// message, and a read image keeps its promises: relocation slots and import
// slots lie inside the image, no section is writable and executable.
#include <pe_image.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    host::loader::PeImage image;
    std::string error;
    if (!host::loader::ParsePeImage(data, size, &image, &error)) {
        if (error.empty()) {
            std::abort();
        }
        return 0;
    }
    for (uint32_t rva : image.relocations) {
        if (uint64_t(rva) + 8 > image.view.size()) {
            std::abort();
        }
    }
    for (const auto& import : image.imports) {
        if (uint64_t(import.slotRva) + 8 > image.view.size() || import.name.empty()) {
            std::abort();
        }
    }
    for (const auto& section : image.sections) {
        if ((section.writable && section.executable) ||
            uint64_t(section.rva) + section.size > image.view.size()) {
            std::abort();
        }
    }
    return 0;
}
