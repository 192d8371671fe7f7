// The settings file and the registry defaults under arbitrary contents: any
// bytes (of any length) as the board's settings file and any typed values
// under the defaults' names, at board creation; then every channel's stored
// mode sent once, as start does.
//
// A file is taken only when it fits and each of its four records names a
// standard and a scale; otherwise every channel takes the default record.
// Either way the frame size the parser writes up to must fit a frame buffer,
// and the board must go with nothing left behind.
#include "fuzz_support.h"

#include "board/board.h"
#include "device/settings.h"
#include "test_device.h"

#include <host/kernel.h>
#include <host/services.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

const wchar_t Parameters[] = L"m4350av\\Parameters";
const wchar_t* const Defaults[] = {L"PALDefault",  L"FixedStandard", L"MONODefault", L"FDECDefault",
                                   L"Deinterlace", L"xpos3",         L"ypos3"};

std::filesystem::path SettingsFile() {
    return host::SystemRoot() / "system32" / "drivers" / "m4350dev0.bin";
}

bool RecordsUsable(const ModeSettings* modes) {
    for (ULONG b = 0; b < BoardChannelCount; ++b) {
        if ((modes[b].format != FormatNtsc && modes[b].format != FormatPal) || modes[b].scale < 1 ||
            modes[b].scale > 4) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No acknowledgement ever comes from the fake stack: let its wait be short.
    m4350fuzz::Prepare(0.001);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    host::ResetRegistry();
    for (const wchar_t* name : Defaults) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            break; // absent
        case 1:
        case 2:
            host::SetServiceDword(Parameters, name, in.ConsumeIntegral<uint32_t>());
            break;
        default: {
            // Another type, or a DWORD of the wrong length.
            uint32_t type = in.ConsumeIntegralInRange<uint32_t>(0, 11);
            std::vector<uint8_t> value = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 16));
            host::RegistrySetValue(host::ServiceKeyPath(std::wstring(Parameters)), name, type,
                                   value.data(), value.size());
            break;
        }
        }
    }
    const bool haveFile = in.ConsumeIntegralInRange(0, 7) != 0;
    std::vector<uint8_t> file;
    if (haveFile) {
        file = in.ConsumeRemainingBytes<uint8_t>();
        std::ofstream(SettingsFile(), std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    } else {
        std::filesystem::remove(SettingsFile());
    }

    const m4350fuzz::KernelCounts before = m4350fuzz::KernelCounts::Now();
    {
        m4350test::TestDevice device;
        Board* board = Board::create(device.get());
        FUZZ_CHECK(board != nullptr, "no board with memory to spare");
        FUZZ_CHECK(board->boardNumber == 0, "the only board is not board 0");

        ModeSettings fromFile[BoardChannelCount] = {};
        if (!file.empty()) {
            std::memcpy(fromFile, file.data(), std::min<size_t>(file.size(), sizeof fromFile));
        }
        const bool taken = haveFile && file.size() <= SettingsFileSize && RecordsUsable(fromFile);
        for (ULONG b = 0; b < BoardChannelCount; ++b) {
            if (taken) {
                FUZZ_CHECK(std::memcmp(&board->modes[b], &fromFile[b], sizeof(ModeSettings)) == 0,
                           "a usable file not taken as it is");
            } else {
                FUZZ_CHECK(std::memcmp(&board->modes[b], &board->modes[0], sizeof(ModeSettings)) ==
                               0,
                           "channels without a file on different defaults");
                FUZZ_CHECK(board->modes[b].format == FormatNtsc ||
                               board->modes[b].format == FormatPal,
                           "a default record without a standard");
            }
            FUZZ_CHECK(board->expectedFrameSize[b] <= FrameBufferSize,
                       "a frame size beyond the frame buffer at creation");
        }

        // Start sends each channel's stored mode; the frame size follows it.
        for (ULONG channel = 0; channel < BoardChannelCount; ++channel) {
            ModeSettings mode = board->modes[3 - channel];
            mode.restart = 1;
            setMode(board, channel, &mode);
            FUZZ_CHECK(board->expectedFrameSize[3 - channel] <= FrameBufferSize,
                       "a stored mode whose frames do not fit a frame buffer");
        }
        releaseBoardNumber(board);
        Board::destroy(board);
    }
    m4350fuzz::CheckBackTo(before, "a board's life");
    return 0;
}
