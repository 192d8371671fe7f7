#include "board/mode_settings.h"

ModeSettings DefaultModeSettings(ULONG format) {
    ModeSettings mode;
    RtlZeroMemory(&mode, sizeof(mode));
    mode.format = format;
    mode.scale = 1;
    mode.color = ColorRgb24;
    mode.fdec = 1;
    mode.contrast = 0x5C;
    mode.saturation = 0x80;
    mode.usbblock = UsbBlockDefault;
    return mode;
}

void modePictureSize(const ModeSettings* mode, ULONG* width, ULONG* height) {
    ULONG w = 640;
    ULONG h = 240;
    if (mode->format == FormatNtsc) {
        switch (mode->scale) {
        case 1:
        case 4:
            w = 640;
            h = 480;
            break;
        case 2:
            w = 640;
            h = 240;
            break;
        case 3:
            w = 320;
            h = 240;
            break;
        }
    } else if (mode->format == FormatPal) {
        switch (mode->scale) {
        case 1:
        case 4:
            w = 704;
            h = 576;
            break;
        case 2:
            w = 704;
            h = 288;
            break;
        case 3:
            w = 352;
            h = 288;
            break;
        }
    }
    *width = w;
    *height = h;
}

ULONG frameBytes(const ModeSettings* mode) {
    if (!mode) {
        return 0;
    }
    ULONG width;
    ULONG height;
    modePictureSize(mode, &width, &height);
    ULONG bytesPerPixel = (mode->color & 0xFF) == ColorMono ? 1 : 2;
    ULONG bytes = width * height * bytesPerPixel + 512;
    const ULONG block = 16384;
    return (bytes + block - 1) / block * block;
}
