#include <sim/firmware_image.h>
#include <sim/protocol.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <host/services.h>

namespace m4350::sim {

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr auto kCrcTable = MakeCrcTable();

uint16_t LoadLe16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

} // namespace

const char* ToString(FirmwareCheck check) {
    switch (check) {
    case FirmwareCheck::Ok:
        return "ok";
    case FirmwareCheck::TooShort:
        return "image shorter than its header";
    case FirmwareCheck::BadMagic:
        return "not a firmware image (bad magic)";
    case FirmwareCheck::BadFormatVersion:
        return "unknown image format version";
    case FirmwareCheck::BadHeaderCrc:
        return "image header checksum mismatch";
    case FirmwareCheck::Truncated:
        return "image payload truncated";
    case FirmwareCheck::BadPayloadCrc:
        return "image payload checksum mismatch";
    }
    return "?";
}

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::vector<uint8_t> BuildFirmwareImage(uint32_t version, size_t payloadSize, uint32_t seed) {
    std::vector<uint8_t> image(kFirmwareHeaderSize + payloadSize, 0);
    uint8_t* payload = image.data() + kFirmwareHeaderSize;
    uint32_t x = seed ? seed : 0x9E3779B9u; // xorshift32: stands in for controller code
    for (size_t i = 0; i < payloadSize; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        payload[i] = uint8_t(x);
    }
    uint8_t* h = image.data();
    StoreLe32(h + 0, kFirmwareMagic);
    h[4] = uint8_t(kFirmwareFormatVersion);
    h[5] = uint8_t(kFirmwareFormatVersion >> 8);
    h[6] = uint8_t(kFirmwareHeaderSize);
    h[7] = uint8_t(kFirmwareHeaderSize >> 8);
    StoreLe32(h + 8, uint32_t(payloadSize));
    StoreLe32(h + 12, version);
    StoreLe32(h + 16, Crc32(payload, payloadSize));
    StoreLe32(h + 20, Crc32(h, 20));
    return image;
}

FirmwareCheck CheckFirmwareImage(const uint8_t* data, size_t size, FirmwareInfo* info) {
    if (size < kFirmwareHeaderSize)
        return FirmwareCheck::TooShort;
    if (LoadLe32(data) != kFirmwareMagic)
        return FirmwareCheck::BadMagic;
    if (LoadLe16(data + 4) != kFirmwareFormatVersion || LoadLe16(data + 6) != kFirmwareHeaderSize)
        return FirmwareCheck::BadFormatVersion;
    if (LoadLe32(data + 20) != Crc32(data, 20))
        return FirmwareCheck::BadHeaderCrc;
    const uint32_t payloadSize = LoadLe32(data + 8);
    if (payloadSize > size - kFirmwareHeaderSize)
        return FirmwareCheck::Truncated;
    if (LoadLe32(data + 16) != Crc32(data + kFirmwareHeaderSize, payloadSize))
        return FirmwareCheck::BadPayloadCrc;
    if (info) {
        info->version = LoadLe32(data + 12);
        info->payloadSize = payloadSize;
    }
    return FirmwareCheck::Ok;
}

bool WriteFirmwareFile(const std::string& path, std::string* error, uint32_t version,
                       size_t payloadSize) {
    const std::vector<uint8_t> image = BuildFirmwareImage(version, payloadSize);
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        if (error)
            *error = "cannot create " + tmp + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), f) == image.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed || std::rename(tmp.c_str(), path.c_str()) != 0) {
        if (error)
            *error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

std::string InstallFirmwareFile(std::string* error, uint32_t version, size_t payloadSize) {
    std::error_code ec;
    const std::filesystem::path dir = host::SystemRoot() / "system32" / "drivers";
    std::filesystem::create_directories(dir, ec);
    const std::string path = (dir / "f4350usb.bin").string();
    return WriteFirmwareFile(path, error, version, payloadSize) ? path : std::string();
}

} // namespace m4350::sim
