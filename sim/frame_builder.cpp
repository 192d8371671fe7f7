#include <sim/frame_builder.h>
#include <sim/jpeg_codec.h>
#include <sim/protocol.h>

#include <cstring>

namespace m4350::sim {

namespace {

PlanarImage PlanesAt(uint8_t* base, uint32_t w, uint32_t h, bool colour) {
    PlanarImage im;
    im.width = w;
    im.height = h;
    im.y = base;
    if (colour) {
        const size_t n = size_t(w) * h;
        im.cb = base + n;
        im.cr = base + n + n / 2;
    }
    return im;
}

} // namespace

FrameBuilder::FrameBuilder(uint32_t boardChannel, const ModeSettings& mode)
    : channel_(boardChannel), mode_(mode), geometry_(GeometryOf(mode)),
      transfer_(geometry_.transferBytes, 0), controls_(PictureControls::Of(mode)) {
    const uint32_t w = geometry_.width, h = geometry_.height;
    const bool colour = geometry_.layout != RawLayout::Luma;
    const size_t planeBytes = size_t(w) * h * (colour ? 2 : 1);
    background_.assign(planeBytes, 0);
    pristine_ = PlanesAt(background_.data(), w, h, colour);
    PaintBackground(pristine_, channel_, controls_);
    if (geometry_.layout == RawLayout::Jpeg) {
        working_ = background_;
        picture_ = PlanesAt(working_.data(), w, h, colour);
        splice_ = PrepareSplice();
    } else {
        picture_ = PlanesAt(transfer_.data() + kFrameHeaderSize, w, h, colour);
        std::memcpy(picture_.y, background_.data(), planeBytes);
    }
    uint8_t* hdr = transfer_.data();
    StoreLe32(hdr + kHeaderMarker, kFrameMarker);
    StoreLe32(hdr + kHeaderChannel, channel_);
    StoreLe32(hdr + kHeaderFrameSize, geometry_.frameSize);
    StoreLe32(hdr + kHeaderColor, mode_.color);
}

std::span<const uint8_t> FrameBuilder::Build(uint32_t frameNumber) {
    StampFrame(picture_, pristine_, channel_, frameNumber, previous_, controls_);
    previous_ = frameNumber;
    uint8_t* hdr = transfer_.data();
    // A fault may have damaged the last header; every word is written anew.
    StoreLe32(hdr + kHeaderMarker, kFrameMarker);
    StoreLe32(hdr + kHeaderChannel, channel_);
    StoreLe32(hdr + kHeaderFrameNumber, frameNumber);
    StoreLe32(hdr + kHeaderFrameSize, geometry_.frameSize);
    StoreLe32(hdr + kHeaderColor, mode_.color);
    if (geometry_.layout == RawLayout::Jpeg) {
        uint8_t* data = hdr + kFrameHeaderSize;
        const uint32_t before = compressed_;
        size_t size = splice_ ? SpliceJpeg(data, geometry_.imageBytes) : 0;
        if (size == 0)
            size = EncodeJpeg422(picture_, data, geometry_.imageBytes);
        for (int q = kJpegQuality - 20; size == 0 && q >= 20; q -= 20)
            size = EncodeJpeg422(picture_, data, geometry_.imageBytes, q);
        if (size == 0)
            std::memset(data, 0, geometry_.imageBytes);
        compressed_ = uint32_t(size);
        // Clear what a longer previous picture left behind, so the padding
        // never carries stale bytes.
        if (before > compressed_)
            std::memset(data + compressed_, 0, before - compressed_);
    }
    StoreLe32(hdr + kHeaderCompressedSize, compressed_);
    return {transfer_.data(), transfer_.size()};
}

bool FrameBuilder::PrepareSplice() {
    const uint32_t w = geometry_.width, h = geometry_.height;
    backgroundJpeg_.assign(geometry_.imageBytes, 0);
    const size_t size = EncodeJpeg422(pristine_, backgroundJpeg_.data(), backgroundJpeg_.size(),
                                      kJpegQuality, true);
    if (size == 0 || !SplitJpegRows(backgroundJpeg_.data(), size, &backgroundRows_) ||
        backgroundRows_.rows.size() != h / 8)
        return false;
    backgroundJpeg_.resize(size);
    std::vector<bool> dirty(h / 8, false);
    for (const LineRange& r : StampedLines(w, h))
        for (uint32_t line = r.first; line < r.last; ++line)
            dirty[line / 8] = true;
    for (uint32_t row = 0; row < dirty.size(); ++row)
        if (dirty[row])
            dirtyRows_.push_back(row);
    if (dirtyRows_.empty())
        return false;
    const size_t lines = dirtyRows_.size() * 8;
    dirtyPlanes_.assign(lines * w * 2, 0);
    dirtyImage_ = PlanesAt(dirtyPlanes_.data(), w, uint32_t(lines), true);
    dirtyJpeg_.assign(dirtyPlanes_.size() + 4096, 0);
    return true;
}

// The rows the stamps touched, encoded as a picture of their own with the
// same tables, replace the background's rows; restart markers are numbered
// by their place in the whole picture.
size_t FrameBuilder::SpliceJpeg(uint8_t* out, size_t capacity) {
    const uint32_t w = geometry_.width;
    const size_t luma = size_t(8) * w, chroma = size_t(8) * w / 2;
    for (size_t i = 0; i < dirtyRows_.size(); ++i) {
        const size_t row = dirtyRows_[i];
        std::memcpy(dirtyImage_.y + i * luma, picture_.y + row * luma, luma);
        std::memcpy(dirtyImage_.cb + i * chroma, picture_.cb + row * chroma, chroma);
        std::memcpy(dirtyImage_.cr + i * chroma, picture_.cr + row * chroma, chroma);
    }
    JpegRows fresh;
    const size_t size =
        EncodeJpeg422(dirtyImage_, dirtyJpeg_.data(), dirtyJpeg_.size(), kJpegQuality, true);
    if (size == 0 || !SplitJpegRows(dirtyJpeg_.data(), size, &fresh) ||
        fresh.rows.size() != dirtyRows_.size())
        return 0;
    size_t n = backgroundRows_.headerSize;
    if (n > capacity)
        return 0;
    std::memcpy(out, backgroundJpeg_.data(), n);
    size_t next = 0;
    const size_t rows = backgroundRows_.rows.size();
    for (size_t row = 0; row < rows; ++row) {
        const uint8_t* src;
        size_t len;
        if (next < dirtyRows_.size() && dirtyRows_[next] == row) {
            src = dirtyJpeg_.data() + fresh.rows[next].offset;
            len = fresh.rows[next].size;
            ++next;
        } else {
            src = backgroundJpeg_.data() + backgroundRows_.rows[row].offset;
            len = backgroundRows_.rows[row].size;
        }
        if (n + len + 2 > capacity)
            return 0;
        std::memcpy(out + n, src, len);
        n += len;
        out[n++] = 0xFF;
        out[n++] = uint8_t(row + 1 < rows ? 0xD0 + row % 8 : 0xD9);
    }
    return n;
}

} // namespace m4350::sim
