// Reading a driver image: DOS stub, PE32+ headers, section table, then the
// base relocation and import directories out of the laid-out view.
#include "pe_image.h"

#include <cstring>
#include <sstream>

namespace host::loader {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr uint32_t kScnCode = 0x00000020;
constexpr uint32_t kScnUninitialized = 0x00000080;
constexpr uint32_t kPage = 0x1000;

enum Directory : uint32_t { kImport = 1, kSecurity = 4, kBaseReloc = 5 };

constexpr uint16_t kRelAbsolute = 0;
constexpr uint16_t kRelDir64 = 10;

template <class T>
T Read(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

std::string Hex(uint64_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

bool Fail(std::string* error, std::string text) {
    *error = std::move(text);
    return false;
}

// [offset, offset + length) lies inside [0, limit).
bool Inside(uint64_t offset, uint64_t length, uint64_t limit) {
    return offset <= limit && length <= limit - offset;
}

// A NUL-terminated name inside the view, at most 255 characters.
bool ViewName(const std::vector<uint8_t>& view, uint32_t rva, std::string* name) {
    if (rva >= view.size()) {
        return false;
    }
    const size_t limit = std::min<size_t>(view.size() - rva, 256);
    const auto* begin = reinterpret_cast<const char*>(view.data() + rva);
    const void* nul = std::memchr(begin, 0, limit);
    if (!nul || nul == begin) {
        return false;
    }
    name->assign(begin, static_cast<const char*>(nul));
    return true;
}

bool ReadRelocations(PeImage* image, uint32_t rva, uint32_t size, std::string* error) {
    const auto& view = image->view;
    if (!Inside(rva, size, view.size())) {
        return Fail(error, "the relocation directory lies outside the image");
    }
    uint32_t at = rva;
    const uint32_t end = rva + size;
    while (at < end) {
        if (end - at < 8) {
            return Fail(error, "a relocation block is truncated");
        }
        const uint32_t page = Read<uint32_t>(view.data() + at);
        const uint32_t blockSize = Read<uint32_t>(view.data() + at + 4);
        if (blockSize < 8 || blockSize % 2 != 0 || blockSize > end - at) {
            return Fail(error, "a relocation block at " + Hex(at) + " has a bad size");
        }
        for (uint32_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
            const uint16_t entry = Read<uint16_t>(view.data() + e);
            const uint16_t type = entry >> 12;
            const uint64_t target = uint64_t(page) + (entry & 0xFFF);
            if (type == kRelAbsolute) {
                continue; // padding
            }
            if (type != kRelDir64) {
                return Fail(error, "relocation of type " + std::to_string(type) + " at " +
                                       Hex(target) + " is not supported");
            }
            if (!Inside(target, 8, view.size())) {
                return Fail(error, "a relocation at " + Hex(target) + " lies outside the image");
            }
            image->relocations.push_back(static_cast<uint32_t>(target));
        }
        at += blockSize;
    }
    return true;
}

bool ReadImports(PeImage* image, uint32_t rva, uint32_t size, std::string* error) {
    const auto& view = image->view;
    if (!Inside(rva, size, view.size())) {
        return Fail(error, "the import directory lies outside the image");
    }
    for (uint32_t d = rva;; d += 20) {
        if (!Inside(d, 20, view.size())) {
            return Fail(error, "the import directory has no terminating entry");
        }
        const uint32_t lookup = Read<uint32_t>(view.data() + d);
        const uint32_t nameRva = Read<uint32_t>(view.data() + d + 12);
        const uint32_t slots = Read<uint32_t>(view.data() + d + 16);
        if (lookup == 0 && nameRva == 0 && slots == 0) {
            return true;
        }
        std::string dll;
        if (!ViewName(view, nameRva, &dll)) {
            return Fail(error, "an import names its DLL outside the image");
        }
        // The lookup table names each import; the address table receives it.
        const uint32_t names = lookup ? lookup : slots;
        for (uint32_t i = 0;; ++i) {
            const uint64_t entryAt = uint64_t(names) + uint64_t(i) * 8;
            const uint64_t slotAt = uint64_t(slots) + uint64_t(i) * 8;
            if (!Inside(entryAt, 8, view.size()) || !Inside(slotAt, 8, view.size())) {
                return Fail(error, "the imports from " + dll + " run outside the image");
            }
            const uint64_t entry = Read<uint64_t>(view.data() + entryAt);
            if (entry == 0) {
                break;
            }
            if (entry >> 63) {
                return Fail(error, "import " + dll + "!#" + std::to_string(entry & 0xFFFF) +
                                       " is by ordinal; only imports by name are bound");
            }
            std::string name;
            if (entry > UINT32_MAX || !ViewName(view, static_cast<uint32_t>(entry) + 2, &name)) {
                return Fail(error, "an import from " + dll + " names itself outside the image");
            }
            image->imports.push_back({dll, name, static_cast<uint32_t>(slotAt)});
        }
    }
}

} // namespace

bool ParsePeImage(const uint8_t* file, size_t size, PeImage* image, std::string* error) {
    *image = PeImage{};
    if (size < 0x40 || file[0] != 'M' || file[1] != 'Z') {
        return Fail(error, "not an executable image (no MZ header)");
    }
    const uint32_t pe = Read<uint32_t>(file + 0x3C);
    if (!Inside(pe, 24, size) || std::memcmp(file + pe, "PE\0\0", 4) != 0) {
        return Fail(error, "not a PE image (no PE signature inside the file)");
    }
    const uint8_t* coff = file + pe + 4;
    const uint16_t machine = Read<uint16_t>(coff);
    const uint16_t sectionCount = Read<uint16_t>(coff + 2);
    const uint16_t optionalSize = Read<uint16_t>(coff + 16);
    if (machine != kMachineAmd64) {
        return Fail(error, "machine " + Hex(machine) + " is not AMD64 (0x8664)");
    }
    const uint64_t optionalAt = uint64_t(pe) + 24;
    if (optionalSize < 112 || !Inside(optionalAt, optionalSize, size)) {
        return Fail(error, "the optional header is truncated");
    }
    const uint8_t* opt = file + optionalAt;
    if (Read<uint16_t>(opt) != kMagicPe32Plus) {
        return Fail(error, "not a PE32+ (64-bit) image");
    }
    image->entryRva = Read<uint32_t>(opt + 16);
    image->preferredBase = Read<uint64_t>(opt + 24);
    const uint32_t sectionAlignment = Read<uint32_t>(opt + 32);
    const uint32_t fileAlignment = Read<uint32_t>(opt + 36);
    image->subsystemMajor = Read<uint16_t>(opt + 48);
    image->subsystemMinor = Read<uint16_t>(opt + 50);
    const uint32_t imageSize = Read<uint32_t>(opt + 56);
    const uint32_t headersSize = Read<uint32_t>(opt + 60);
    const uint16_t subsystem = Read<uint16_t>(opt + 68);
    const uint32_t directoryCount = Read<uint32_t>(opt + 108);
    if (subsystem != kSubsystemNative) {
        return Fail(error, "subsystem " + std::to_string(subsystem) + " is not native (1)");
    }
    if (sectionAlignment < kPage || sectionAlignment % kPage != 0) {
        return Fail(error, "section alignment " + Hex(sectionAlignment) +
                               " is not a multiple of the page size");
    }
    if (fileAlignment < 0x200 || fileAlignment > 0x10000 ||
        (fileAlignment & (fileAlignment - 1)) != 0 || fileAlignment > sectionAlignment) {
        return Fail(error, "file alignment " + Hex(fileAlignment) + " is not valid");
    }
    if (imageSize == 0 || imageSize > kMaxImageSize || imageSize % sectionAlignment != 0) {
        return Fail(error, "image size " + Hex(imageSize) + " is not valid");
    }
    if (image->preferredBase % 0x10000 != 0) {
        return Fail(error, "image base " + Hex(image->preferredBase) + " is not 64 KiB aligned");
    }
    const uint64_t sectionsAt = optionalAt + optionalSize;
    if (sectionCount == 0 || sectionCount > 96 || !Inside(sectionsAt, 40ull * sectionCount, size)) {
        return Fail(error, "the section table is missing or truncated");
    }
    if (headersSize < sectionsAt + 40ull * sectionCount || headersSize > size ||
        headersSize > imageSize) {
        return Fail(error, "the headers' size " + Hex(headersSize) + " is not valid");
    }
    const uint32_t directories = std::min<uint32_t>(directoryCount, (optionalSize - 112) / 8);
    auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* length) {
        *rva = *length = 0;
        if (index < directories) {
            *rva = Read<uint32_t>(opt + 112 + index * 8);
            *length = Read<uint32_t>(opt + 112 + index * 8 + 4);
        }
    };

    image->view.assign(imageSize, 0);
    std::memcpy(image->view.data(), file, headersSize);
    uint32_t nextRva = sectionAlignment; // sections follow the headers' page, ascending
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* h = file + sectionsAt + 40ull * i;
        PeSection section;
        const void* nul = std::memchr(h, 0, 8);
        section.name.assign(reinterpret_cast<const char*>(h),
                            nul ? static_cast<const char*>(nul) - reinterpret_cast<const char*>(h)
                                : 8);
        const uint32_t virtualSize = Read<uint32_t>(h + 8);
        const uint32_t rva = Read<uint32_t>(h + 12);
        const uint32_t rawSize = Read<uint32_t>(h + 16);
        const uint32_t rawAt = Read<uint32_t>(h + 20);
        const uint32_t flags = Read<uint32_t>(h + 36);
        const uint32_t span = std::max(virtualSize, rawSize);
        if (rva % sectionAlignment != 0 || rva < nextRva || !Inside(rva, span, imageSize)) {
            return Fail(error, "section " + section.name + " at " + Hex(rva) +
                                   " is misplaced in the image");
        }
        if (rawSize != 0 && (!Inside(rawAt, rawSize, size) || rawAt % fileAlignment != 0)) {
            return Fail(error, "section " + section.name + " lies outside the file");
        }
        section.rva = rva;
        section.size = static_cast<uint32_t>((uint64_t(span) + sectionAlignment - 1) /
                                             sectionAlignment * sectionAlignment);
        if (!Inside(rva, section.size, imageSize)) {
            return Fail(error, "section " + section.name + " runs past the image's end");
        }
        section.executable = (flags & (kScnExecute | kScnCode)) != 0;
        section.writable = (flags & kScnWrite) != 0;
        section.readable = (flags & kScnRead) != 0 || section.executable;
        if (section.executable && section.writable) {
            return Fail(error, "section " + section.name + " is both writable and executable");
        }
        // What the file holds; the rest up to the virtual size stays zero.
        const uint32_t copy = (flags & kScnUninitialized) ? 0 : std::min(rawSize, span);
        if (virtualSize != 0 && copy > virtualSize) {
            std::memcpy(image->view.data() + rva, file + rawAt, virtualSize);
        } else if (copy != 0) {
            std::memcpy(image->view.data() + rva, file + rawAt, copy);
        }
        nextRva = rva + section.size;
        image->sections.push_back(std::move(section));
    }

    bool entryInCode = false;
    for (const auto& s : image->sections) {
        entryInCode |= s.executable && image->entryRva >= s.rva && image->entryRva < s.rva + s.size;
    }
    if (!entryInCode) {
        return Fail(error, "the entry point " + Hex(image->entryRva) + " is not in a code section");
    }

    uint32_t rva = 0, length = 0;
    // The certificate table is the one directory given as a file offset: it
    // is not mapped, only checked to lie in the file.
    directory(kSecurity, &rva, &length);
    if (length != 0) {
        if (!Inside(rva, length, size)) {
            return Fail(error, "the certificate table lies outside the file");
        }
        image->hasCertificate = true;
    }
    directory(kBaseReloc, &rva, &length);
    if (length != 0 && !ReadRelocations(image, rva, length, error)) {
        return false;
    }
    directory(kImport, &rva, &length);
    if (length != 0 && !ReadImports(image, rva, length, error)) {
        return false;
    }
    return true;
}

} // namespace host::loader
