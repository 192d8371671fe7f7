#include <sim/eeprom.h>

#include <cstring>
#include <fstream>
#include <system_error>

namespace m4350::sim {

namespace {

std::vector<uint8_t> FreshContents(uint32_t serial) {
    std::vector<uint8_t> bytes(kEepromSize, 0xFF);
    uint8_t* record = bytes.data() + kSerialRecordAddress;
    const uint8_t signature[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    std::memcpy(record, signature, 4);
    std::memset(record + 4, 0, 8);
    record[12] = uint8_t(serial >> 24);
    record[13] = uint8_t(serial >> 16);
    record[14] = uint8_t(serial >> 8);
    record[15] = uint8_t(serial);
    return bytes;
}

bool LoadFile(const std::filesystem::path& file, std::vector<uint8_t>* bytes) {
    std::error_code ec;
    if (std::filesystem::file_size(file, ec) != kEepromSize || ec)
        return false;
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> data(kEepromSize);
    if (!in.read(reinterpret_cast<char*>(data.data()), kEepromSize))
        return false;
    *bytes = std::move(data);
    return true;
}

bool InRange(uint32_t address, uint32_t length) {
    return address <= kEepromSize && length <= kEepromSize - address;
}

} // namespace

ControllerEeprom::ControllerEeprom(uint32_t serial, std::filesystem::path file)
    : file_(std::move(file)) {
    if (!file_.empty() && LoadFile(file_, &bytes_))
        return;
    bytes_ = FreshContents(serial);
    if (!file_.empty())
        Persist();
}

bool ControllerEeprom::Read(uint32_t address, uint8_t* out, uint32_t length) const {
    if (!InRange(address, length))
        return false;
    std::memcpy(out, bytes_.data() + address, length);
    return true;
}

bool ControllerEeprom::Write(uint32_t address, const uint8_t* data, uint32_t length) {
    if (!InRange(address, length))
        return false;
    std::memcpy(bytes_.data() + address, data, length);
    Persist();
    return true;
}

std::vector<uint8_t> ControllerEeprom::Bytes() const {
    return bytes_;
}

// The whole image is replaced on every write: 8 KiB is small, and a file that
// is always complete never leaves a torn image behind after a crash.
void ControllerEeprom::Persist() {
    if (file_.empty())
        return;
    std::error_code ec;
    if (file_.has_parent_path())
        std::filesystem::create_directories(file_.parent_path(), ec);
    std::filesystem::path temporary = file_;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes_.data()), kEepromSize);
        fileOk_ = bool(out.flush());
    }
    if (fileOk_) {
        std::filesystem::rename(temporary, file_, ec);
        fileOk_ = !ec;
    }
}

std::filesystem::path EepromFileFor(const std::filesystem::path& root, unsigned board) {
    return root / "m4350sim" / ("eeprom" + std::to_string(board) + ".bin");
}

} // namespace m4350::sim
