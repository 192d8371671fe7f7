// A small driver image made byte by byte, so the loader's tests need no
// cross compiler. Its DriverEntry prints through an imported DbgPrint (a
// relocated pointer to the format, a UTF-16 string and a 64-bit number) and
// returns STATUS_UNSUCCESSFUL. Each field of Options breaks one thing.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace m4350test {

struct PeOptions {
    uint16_t machine = 0x8664;
    uint16_t magic = 0x20B;
    uint16_t subsystem = 1;
    uint32_t textFlags = 0x60000020; // code, execute, read
    uint16_t relocationType = 10;    // DIR64
    std::string importDll = "NTOSKRNL.EXE";
    std::string importName = "DbgPrint";
    bool importByOrdinal = false;
    uint32_t dataRawPointer = 0x400;
    uint32_t certificateSize = 0; // a certificate table after the sections
    size_t truncateTo = 0;        // 0: the whole file
};

inline constexpr const char* kPeEntryMessage = "image entry wide 1122334455667788";

inline std::vector<uint8_t> BuildPeImage(const PeOptions& o = {}) {
    std::vector<uint8_t> f(0xA00 + o.certificateSize, 0);
    auto put16 = [&](size_t at, uint16_t v) { std::memcpy(&f[at], &v, 2); };
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&f[at], &v, 4); };
    auto put64 = [&](size_t at, uint64_t v) { std::memcpy(&f[at], &v, 8); };
    auto bytes = [&](size_t at, std::initializer_list<uint8_t> b) {
        std::copy(b.begin(), b.end(), f.begin() + at);
    };
    f[0] = 'M';
    f[1] = 'Z';
    put32(0x3C, 0x40);
    std::memcpy(&f[0x40], "PE\0\0", 4);
    const size_t coff = 0x44, opt = 0x58, sections = opt + 240;
    put16(coff, o.machine);
    put16(coff + 2, 4);
    put16(coff + 16, 240);
    put16(coff + 18, 0x22); // executable, large address aware
    put16(opt, o.magic);
    put32(opt + 16, 0x1000); // entry
    put64(opt + 24, 0x140000000ull);
    put32(opt + 32, 0x1000);
    put32(opt + 36, 0x200);
    put16(opt + 48, 10); // subsystem version 10.0
    put32(opt + 56, 0x5000);
    put32(opt + 60, 0x200);
    put16(opt + 68, o.subsystem);
    put32(opt + 108, 16);
    put32(opt + 112 + 1 * 8, 0x3000); // imports
    put32(opt + 112 + 1 * 8 + 4, 40);
    if (o.certificateSize) {
        put32(opt + 112 + 4 * 8, 0xA00); // a file offset, unlike the others
        put32(opt + 112 + 4 * 8 + 4, o.certificateSize);
    }
    put32(opt + 112 + 5 * 8, 0x4000); // base relocations
    put32(opt + 112 + 5 * 8 + 4, 12);
    struct Section {
        const char* name;
        uint32_t rva, raw, flags;
    } table[] = {{".text", 0x1000, 0x200, o.textFlags},
                 {".data", 0x2000, o.dataRawPointer, 0xC0000040},
                 {".idata", 0x3000, 0x600, 0xC0000040},
                 {".reloc", 0x4000, 0x800, 0x42000040}};
    for (size_t i = 0; i < 4; ++i) {
        const size_t h = sections + 40 * i;
        std::memcpy(&f[h], table[i].name, std::strlen(table[i].name));
        put32(h + 8, 0x200);
        put32(h + 12, table[i].rva);
        put32(h + 16, 0x200);
        put32(h + 20, table[i].raw);
        put32(h + 36, table[i].flags);
    }
    // .text: DbgPrint(*formatPointer, L"wide", 0x1122334455667788); return
    // STATUS_UNSUCCESSFUL.
    auto rel32 = [&](size_t at, uint32_t targetRva, uint32_t nextRva) {
        put32(at, targetRva - nextRva);
    };
    bytes(0x200, {0x48, 0x83, 0xEC, 0x28});
    bytes(0x204, {0x48, 0x8B, 0x0D});
    rel32(0x207, 0x2040, 0x100B);
    bytes(0x20B, {0x48, 0x8D, 0x15});
    rel32(0x20E, 0x2080, 0x1012);
    bytes(0x212, {0x49, 0xB8});
    put64(0x214, 0x1122334455667788ull);
    bytes(0x21C, {0xFF, 0x15});
    rel32(0x21E, 0x3060, 0x1022);
    bytes(0x222, {0xB8, 0x01, 0x00, 0x00, 0xC0, 0x48, 0x83, 0xC4, 0x28, 0xC3});
    // .data: the format, a pointer to it (relocated), the wide string.
    const char format[] = "image entry %ws %I64x\n";
    std::memcpy(&f[0x400], format, sizeof(format));
    put64(0x440, 0x140002000ull);
    const char16_t wide[] = u"wide";
    std::memcpy(&f[0x480], wide, sizeof(wide));
    // .idata: one descriptor, its lookup and address tables, the names.
    put32(0x600, 0x3040);
    put32(0x600 + 12, 0x30A0);
    put32(0x600 + 16, 0x3060);
    const uint64_t entry = o.importByOrdinal ? (1ull << 63) | 7 : 0x3080;
    put64(0x640, entry);
    put64(0x660, entry);
    std::memcpy(&f[0x682], o.importName.data(), o.importName.size());
    std::memcpy(&f[0x6A0], o.importDll.data(), o.importDll.size());
    // .reloc: the pointer in .data, then a padding entry.
    put32(0x800, 0x2000);
    put32(0x804, 12);
    put16(0x808, static_cast<uint16_t>((o.relocationType << 12) | 0x040));
    put16(0x80A, 0);
    if (o.truncateTo) {
        f.resize(o.truncateTo);
    }
    return f;
}

} // namespace m4350test
