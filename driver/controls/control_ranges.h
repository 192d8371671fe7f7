// The values a channel's settings take: the proc-amp ranges the property
// handlers accept and the automation table announces, and the format and
// colour codes of a channel's mode. One table for the driver and for the
// tools that check a value before they send it.
//
// Kernel code: constants only.
#pragma once

#include <wdm.h>

#include "board/mode_settings.h"

// A proc-amp value: a stepped range of signed 32-bit values with a default.
struct ControlRange {
    LONG minimum, maximum, defaultValue;
};

inline constexpr ControlRange BrightnessRange = {-127, 127, 0};
inline constexpr ControlRange ContrastRange = {0, 255, 92};
inline constexpr ControlRange HueRange = {-64, 64, 0};
inline constexpr ControlRange SaturationRange = {0, 255, 128};
inline constexpr ControlRange ColorEnableRange = {0, 1, 1};

// A code of a mode word and its name, as tools show it.
struct ModeCode {
    ULONG value;
    const char* name;
};

// ModeSettings::format.
inline constexpr ModeCode FormatCodes[] = {
    {FormatNtsc, "ntsc"},
    {FormatPal, "pal"},
};

// ModeSettings::color: the colour codes the board knows, JPEG as the whole
// word it travels as.
inline constexpr ModeCode ColorCodes[] = {
    {ColorPlanarYuv, "planar-yuv"}, {ColorPackedYuv, "packed-yuv"},
    {ColorRgb24, "rgb24"},          {ColorMono, "mono"},
    {ColorJpegWord, "jpeg"},        {ColorRgb32, "rgb32"},
};
