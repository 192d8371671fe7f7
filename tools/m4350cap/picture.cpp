#include "picture.h"

#include "jpeg_frame.h"

#include <libyuv.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace m4350::cap {

namespace {

void Resize(Picture* p, uint32_t width, uint32_t height, bool mono) {
    p->width = width;
    p->height = height;
    p->mono = mono;
    p->y.resize(size_t(width) * height);
    p->u.resize(mono ? 0 : size_t(width / 2) * height);
    p->v.resize(mono ? 0 : size_t(width / 2) * height);
}

bool FromArgb(const uint8_t* argb, int stride, uint32_t width, int height, Picture* out) {
    Resize(out, width, uint32_t(std::abs(height)), false);
    const int w = int(width);
    return libyuv::ARGBToI422(argb, stride, out->y.data(), w, out->u.data(), w / 2, out->v.data(),
                              w / 2, w, height) == 0;
}

} // namespace

bool ToPicture(const FrameFormat& f, const uint8_t* data, size_t used, Picture* out) {
    const int w = int(f.width), h = int(f.rows);
    const size_t pixels = size_t(f.width) * f.rows;
    switch (f.subtype) {
    case Subtype::Uyvy:
    case Subtype::Yuy2: {
        if (used < pixels * 2)
            return false;
        Resize(out, f.width, f.rows, false);
        auto convert = f.subtype == Subtype::Uyvy ? libyuv::UYVYToI422 : libyuv::YUY2ToI422;
        return convert(data, w * 2, out->y.data(), w, out->u.data(), w / 2, out->v.data(), w / 2, w,
                       h) == 0;
    }
    case Subtype::Yv16: {
        // Y, then V, then U, each chroma plane half as wide.
        if (used < pixels * 2)
            return false;
        Resize(out, f.width, f.rows, false);
        std::memcpy(out->y.data(), data, pixels);
        std::memcpy(out->v.data(), data + pixels, pixels / 2);
        std::memcpy(out->u.data(), data + pixels + pixels / 2, pixels / 2);
        return true;
    }
    case Subtype::Y800:
        if (used < pixels)
            return false;
        Resize(out, f.width, f.rows, true);
        std::memcpy(out->y.data(), data, pixels);
        return true;
    case Subtype::Rgb24: {
        if (used < pixels * 3)
            return false;
        std::vector<uint8_t> argb(pixels * 4);
        // A negative height makes libyuv read the rows last first.
        libyuv::RGB24ToARGB(data, w * 3, argb.data(), w * 4, w, f.bottomUp ? -h : h);
        return FromArgb(argb.data(), w * 4, f.width, h, out);
    }
    case Subtype::Rgb32:
        if (used < pixels * 4)
            return false;
        return FromArgb(data, w * 4, f.width, f.bottomUp ? -h : h, out);
    case Subtype::Mjpg: {
        std::vector<uint8_t> argb;
        if (!DecodeJpegArgb(data, used, f.width, f.rows, &argb))
            return false;
        return FromArgb(argb.data(), w * 4, f.width, h, out);
    }
    }
    return false;
}

sim::StampReading ReadPictureStamp(const Picture& p, int* orientation) {
    // Orientations 0 to 7: a quarter turn count (bits 0-1) and an upside-down
    // flip (bit 2). Portrait formats are turned pictures; which way depends on
    // the format's row order.
    const int start = *orientation;
    std::vector<uint8_t> turned;
    for (int k = 0; k < 8; ++k) {
        const int o = (start + k) & 7;
        const int turns = o & 3;
        const bool flip = o & 4;
        const int w = int(p.width), h = int(p.height);
        const bool swap = turns & 1;
        const int tw = swap ? h : w, th = swap ? w : h;
        if (turns == 0 && !flip) {
            auto s = sim::ReadStamp(p.y.data(), p.width, p.height);
            if (s.valid) {
                *orientation = o;
                return s;
            }
            continue;
        }
        turned.resize(p.y.size());
        const libyuv::RotationMode modes[] = {libyuv::kRotate0, libyuv::kRotate90,
                                              libyuv::kRotate180, libyuv::kRotate270};
        libyuv::RotatePlane(p.y.data(), w, turned.data(), tw, w, flip ? -h : h, modes[turns]);
        auto s = sim::ReadStamp(turned.data(), uint32_t(tw), uint32_t(th));
        if (s.valid) {
            *orientation = o;
            return s;
        }
    }
    return {};
}

namespace {

// libpng reports its errors through this handler, which keeps the reason
// (errno of the failed write, when there was one) and jumps back to
// EncodeRows' setjmp.
struct PngErrors {
    char message[128];
    int error;
};

[[noreturn]] void OnPngError(png_structp png, png_const_charp message) {
    auto* e = static_cast<PngErrors*>(png_get_error_ptr(png));
    e->error = errno;
    std::snprintf(e->message, sizeof e->message, "%s", message);
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// libpng reports its errors by longjmp back to here, so nothing with a
// destructor may live in this frame.
bool EncodeRows(png_structp png, png_infop info, std::FILE* file, uint32_t width, uint32_t height,
                const uint8_t* const* rows, bool bgr, bool filler) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_init_io(png, file);
    // Speed over size: frames arrive at up to 30 per second per channel.
    png_set_compression_level(png, 1);
    png_set_filter(png, 0, PNG_FILTER_SUB);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (bgr)
        png_set_bgr(png);
    if (filler)
        png_set_filler(png, 0, PNG_FILLER_AFTER);
    png_write_rows(png, const_cast<png_bytepp>(rows), height);
    png_write_end(png, nullptr);
    return true;
}

// A PNG is complete or it is not there: a failed one is removed.
bool WriteRows(const std::string& path, uint32_t width, uint32_t height,
               const std::vector<const uint8_t*>& rows, bool bgr, bool filler, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    PngErrors errors{};
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &errors, OnPngError, OnPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = png && info && EncodeRows(png, info, file, width, height, rows.data(), bgr, filler);
    png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
    if (ok && std::fflush(file) != 0) {
        ok = false;
        errors.error = errno;
    }
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        errors.error = errno;
    }
    if (!ok) {
        *error = "cannot write " + path + ": " +
                 (errors.error        ? std::strerror(errors.error)
                  : errors.message[0] ? errors.message
                                      : "the encoder failed");
        std::remove(path.c_str());
    }
    return ok;
}

} // namespace

bool WritePng(const std::string& path, const uint8_t* rgb, uint32_t width, uint32_t height,
              std::string* error) {
    std::vector<const uint8_t*> rows(height);
    for (uint32_t r = 0; r < height; ++r)
        rows[r] = rgb + size_t(r) * width * 3;
    return WriteRows(path, width, height, rows, false, false, error);
}

bool WriteDibPng(const std::string& path, const FrameFormat& f, const uint8_t* data, size_t used,
                 std::string* error) {
    const uint32_t bytes = f.subtype == Subtype::Rgb32 ? 4 : 3;
    const size_t stride = size_t(f.width) * bytes;
    if (used < stride * f.rows) {
        *error = "frame too short for " + path;
        return false;
    }
    std::vector<const uint8_t*> rows(f.rows);
    for (uint32_t r = 0; r < f.rows; ++r)
        rows[r] = data + stride * (f.bottomUp ? f.rows - 1 - r : r);
    return WriteRows(path, f.width, f.rows, rows, true, bytes == 4, error);
}

std::vector<uint8_t> ToRgb(const Picture& p) {
    const int w = int(p.width), h = int(p.height);
    std::vector<uint8_t> argb(size_t(w) * h * 4), rgb(size_t(w) * h * 3);
    if (p.mono)
        libyuv::I400ToARGB(p.y.data(), w, argb.data(), w * 4, w, h);
    else
        libyuv::I422ToARGB(p.y.data(), w, p.u.data(), w / 2, p.v.data(), w / 2, argb.data(), w * 4,
                           w, h);
    libyuv::ARGBToRAW(argb.data(), w * 4, rgb.data(), w * 3, w, h);
    return rgb;
}

namespace {

// A 5 x 7 font for captions: one byte per row, bit 4 the leftmost pixel.
struct Glyph {
    char c;
    uint8_t rows[7];
};
constexpr Glyph kFont[] = {
    {'0', {14, 17, 19, 21, 25, 17, 14}}, {'1', {4, 12, 4, 4, 4, 4, 14}},
    {'2', {14, 17, 1, 2, 4, 8, 31}},     {'3', {31, 2, 4, 2, 1, 17, 14}},
    {'4', {2, 6, 10, 18, 31, 2, 2}},     {'5', {31, 16, 30, 1, 1, 17, 14}},
    {'6', {6, 8, 16, 30, 17, 17, 14}},   {'7', {31, 1, 2, 4, 8, 8, 8}},
    {'8', {14, 17, 17, 14, 17, 17, 14}}, {'9', {14, 17, 17, 15, 1, 2, 12}},
    {'A', {14, 17, 17, 31, 17, 17, 17}}, {'B', {30, 17, 17, 30, 17, 17, 30}},
    {'C', {14, 17, 16, 16, 16, 17, 14}}, {'D', {28, 18, 17, 17, 17, 18, 28}},
    {'E', {31, 16, 16, 30, 16, 16, 31}}, {'F', {31, 16, 16, 30, 16, 16, 16}},
    {'G', {14, 17, 16, 23, 17, 17, 15}}, {'H', {17, 17, 17, 31, 17, 17, 17}},
    {'I', {14, 4, 4, 4, 4, 4, 14}},      {'J', {7, 2, 2, 2, 2, 18, 12}},
    {'K', {17, 18, 20, 24, 20, 18, 17}}, {'L', {16, 16, 16, 16, 16, 16, 31}},
    {'M', {17, 27, 21, 21, 17, 17, 17}}, {'N', {17, 17, 25, 21, 19, 17, 17}},
    {'O', {14, 17, 17, 17, 17, 17, 14}}, {'P', {30, 17, 17, 30, 16, 16, 16}},
    {'Q', {14, 17, 17, 17, 21, 18, 13}}, {'R', {30, 17, 17, 30, 20, 18, 17}},
    {'S', {15, 16, 16, 14, 1, 1, 30}},   {'T', {31, 4, 4, 4, 4, 4, 4}},
    {'U', {17, 17, 17, 17, 17, 17, 14}}, {'V', {17, 17, 17, 17, 17, 10, 4}},
    {'W', {17, 17, 17, 21, 21, 21, 10}}, {'X', {17, 17, 10, 4, 10, 17, 17}},
    {'Y', {17, 17, 17, 10, 4, 4, 4}},    {'Z', {31, 1, 2, 4, 8, 16, 31}},
    {':', {0, 12, 12, 0, 12, 12, 0}},    {'.', {0, 0, 0, 0, 0, 12, 12}},
    {'@', {14, 17, 1, 13, 21, 21, 14}},  {'/', {0, 1, 2, 4, 8, 16, 0}},
    {'-', {0, 0, 0, 31, 0, 0, 0}},       {' ', {0, 0, 0, 0, 0, 0, 0}},
};

void DrawText(Picture* p, uint32_t x, uint32_t y, const std::string& text) {
    for (char raw : text) {
        const char c = char(std::toupper(static_cast<unsigned char>(raw)));
        const Glyph* g = nullptr;
        for (const Glyph& candidate : kFont)
            if (candidate.c == c)
                g = &candidate;
        if (x + 6 > p->width)
            return;
        if (g)
            for (uint32_t r = 0; r < 7; ++r)
                for (uint32_t col = 0; col < 5; ++col)
                    if (g->rows[r] & (16 >> col))
                        p->y[size_t(y + r) * p->width + x + col] = 235;
        x += 6;
    }
}

} // namespace

void ComposeMosaic(const MosaicCell (&cells)[4], Picture* out) {
    Resize(out, kMosaicWidth, kMosaicHeight, false);
    std::fill(out->y.begin(), out->y.end(), uint8_t(16));
    std::fill(out->u.begin(), out->u.end(), uint8_t(128));
    std::fill(out->v.begin(), out->v.end(), uint8_t(128));
    const int stride = int(kMosaicWidth);
    Picture scaled;
    for (int i = 0; i < 4; ++i) {
        const uint32_t left = (i % 2) * kCellWidth;
        const uint32_t top = (i / 2) * (kCellHeight + kCaptionHeight);
        if (const Picture* p = cells[i].picture; p && p->width && p->height) {
            // Fit the picture into the cell keeping its shape; even sizes and
            // an even left edge keep the chroma samples aligned.
            uint32_t w = kCellWidth, h = uint32_t(uint64_t(p->height) * kCellWidth / p->width);
            if (h > kCellHeight) {
                h = kCellHeight;
                w = uint32_t(uint64_t(p->width) * kCellHeight / p->height);
            }
            w &= ~1u;
            h = std::max(h, 2u);
            const uint32_t x = (left + (kCellWidth - w) / 2) & ~1u;
            const uint32_t y = top + (kCellHeight - h) / 2;
            uint8_t* dy = out->y.data() + size_t(y) * stride + x;
            uint8_t* du = out->u.data() + size_t(y) * (stride / 2) + x / 2;
            uint8_t* dv = out->v.data() + size_t(y) * (stride / 2) + x / 2;
            if (p->mono) {
                libyuv::ScalePlane(p->y.data(), int(p->width), int(p->width), int(p->height), dy,
                                   stride, int(w), int(h), libyuv::kFilterBox);
            } else {
                libyuv::I422Scale(p->y.data(), int(p->width), p->u.data(), int(p->width / 2),
                                  p->v.data(), int(p->width / 2), int(p->width), int(p->height), dy,
                                  stride, du, stride / 2, dv, stride / 2, int(w), int(h),
                                  libyuv::kFilterBox);
            }
        }
        DrawText(out, left + 4, top + kCellHeight + (kCaptionHeight - 7) / 2, cells[i].caption);
    }
}

bool Y4mWriter::Open(std::FILE* file, uint32_t width, uint32_t height, bool mono, uint32_t rateNum,
                     uint32_t rateDen) {
    file_ = file;
    width_ = width;
    height_ = height;
    mono_ = mono;
    frames_ = 0;
    return std::fprintf(file_, "YUV4MPEG2 W%u H%u F%u:%u Ip A1:1 %s\n", width, height, rateNum,
                        rateDen, mono ? "Cmono" : "C422") > 0 &&
           std::fflush(file_) == 0;
}

bool Y4mWriter::Write(const Picture& p) {
    if (!file_ || p.width != width_ || p.height != height_ || p.mono != mono_)
        return false;
    bool ok = std::fputs("FRAME\n", file_) >= 0 &&
              std::fwrite(p.y.data(), 1, p.y.size(), file_) == p.y.size();
    if (!mono_)
        ok = ok && std::fwrite(p.u.data(), 1, p.u.size(), file_) == p.u.size() &&
             std::fwrite(p.v.data(), 1, p.v.size(), file_) == p.v.size();
    // Out of the library's buffer now, so a failure belongs to this frame.
    ok = ok && std::fflush(file_) == 0;
    if (ok)
        ++frames_;
    return ok;
}

void FrameRate(const FrameFormat& f, uint32_t* num, uint32_t* den) {
    if (f.pal) {
        *num = 25;
        *den = uint32_t(f.decimation);
    } else {
        *num = 30000;
        *den = 1001u * uint32_t(f.decimation);
    }
}

} // namespace m4350::cap
