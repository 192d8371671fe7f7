// Pictures as the tool handles them after a frame has arrived: the delivered
// bytes of any of the pin's formats turned into one planar 4:2:2 (or luma
// only) picture, top row first, for Y4M output, the mosaic, snapshots and
// reading the board's frame stamp; and the PNG and mosaic pictures made from
// it.
#pragma once

#include "formats.h"

#include <sim/test_pattern.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace m4350::cap {

// What a pin was connected with, as far as the bytes are concerned.
struct FrameFormat {
    Subtype subtype = Subtype::Uyvy;
    uint32_t width = 0;
    uint32_t rows = 0;
    bool bottomUp = false; // biHeight > 0: for RGB the last row comes first
    bool pal = false;
    int decimation = 1;
    uint32_t imageBytes = 0; // the pin's buffer size

    bool Mono() const { return subtype == Subtype::Y800; }
    bool Rgb() const { return subtype == Subtype::Rgb24 || subtype == Subtype::Rgb32; }
};

struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    bool mono = false;
    std::vector<uint8_t> y, u, v; // u and v: width / 2 per row; empty when mono
};

// Converts one delivered frame; false when its bytes do not make a picture
// of the format (too short, or a JPEG that does not decode).
bool ToPicture(const FrameFormat& format, const uint8_t* data, size_t used, Picture* out);

// Reads the board's stamp (channel and frame number) from a picture. The
// picture may be turned (portrait formats); `orientation` remembers which
// way the stamp was found, so that later frames of the channel try it first.
sim::StampReading ReadPictureStamp(const Picture& picture, int* orientation);

// PNG of 8-bit RGB rows in R, G, B order. False with `error` naming the file
// and the reason; a file that could not be written whole is removed.
bool WritePng(const std::string& path, const uint8_t* rgb, uint32_t width, uint32_t height,
              std::string* error);
// PNG straight from a delivered RGB24/RGB32 frame (B, G, R[, x] rows,
// bottom-up as the format says).
bool WriteDibPng(const std::string& path, const FrameFormat& format, const uint8_t* data,
                 size_t used, std::string* error);
// A picture as R, G, B rows.
std::vector<uint8_t> ToRgb(const Picture& picture);

// The mosaic: four cells of kCellWidth x kCellHeight, two by two, each with a
// caption strip of kCaptionHeight rows below it. A cell without a picture
// stays black.
inline constexpr uint32_t kCellWidth = 352;
inline constexpr uint32_t kCellHeight = 288;
inline constexpr uint32_t kCaptionHeight = 16;
inline constexpr uint32_t kMosaicWidth = 2 * kCellWidth;
inline constexpr uint32_t kMosaicHeight = 2 * (kCellHeight + kCaptionHeight);
struct MosaicCell {
    const Picture* picture = nullptr;
    std::string caption;
};
void ComposeMosaic(const MosaicCell (&cells)[4], Picture* out);

// Y4M (YUV4MPEG2) stream of 4:2:2 or luma-only pictures, as ffmpeg reads it.
class Y4mWriter {
public:
    // `rateNum`/`rateDen` frames per second.
    bool Open(std::FILE* file, uint32_t width, uint32_t height, bool mono, uint32_t rateNum,
              uint32_t rateDen);
    // One frame, flushed: false when it did not reach the file whole (errno
    // says why).
    bool Write(const Picture& picture);
    uint64_t Frames() const { return frames_; }

private:
    std::FILE* file_ = nullptr;
    uint32_t width_ = 0, height_ = 0;
    bool mono_ = false;
    uint64_t frames_ = 0;
};

// The rate of a format as a Y4M fraction.
void FrameRate(const FrameFormat& format, uint32_t* num, uint32_t* den);

} // namespace m4350::cap
