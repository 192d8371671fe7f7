// m4350fwimage: writes a firmware image the simulated board boots from.
//
//   m4350fwimage <output> [--version 0xAABBCCDD] [--size <payload bytes>]
//
// The driver loads \SystemRoot\system32\drivers\f4350usb.bin; put the image
// there for a simulated board to start.
#include <sim/firmware_image.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool ParseNumber(const char* text, unsigned long long max, unsigned long long* out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno || end == text || *end || v > max)
        return false;
    *out = v;
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: m4350fwimage <output> [--version <n>] [--size <payload bytes>]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string output;
    unsigned long long version = m4350::sim::kDefaultFirmwareVersion;
    unsigned long long size = m4350::sim::kDefaultFirmwarePayload;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--version" || arg == "--size") {
            if (i + 1 >= argc)
                return Usage();
            unsigned long long* target = arg == "--version" ? &version : &size;
            const unsigned long long max = arg == "--version" ? 0xFFFFFFFFull : 16ull << 20;
            if (!ParseNumber(argv[++i], max, target)) {
                std::fprintf(stderr, "m4350fwimage: bad value for %s: %s\n", arg.c_str(), argv[i]);
                return 2;
            }
        } else if (arg == "-h" || arg == "--help") {
            Usage();
            return 0;
        } else if (output.empty() && arg[0] != '-') {
            output = arg;
        } else {
            return Usage();
        }
    }
    if (output.empty())
        return Usage();
    std::string error;
    if (!m4350::sim::WriteFirmwareFile(output, &error, uint32_t(version), size_t(size))) {
        std::fprintf(stderr, "m4350fwimage: %s\n", error.c_str());
        return 1;
    }
    std::printf("wrote %s: firmware version 0x%08llx, %llu payload bytes\n", output.c_str(),
                version, size);
    return 0;
}
