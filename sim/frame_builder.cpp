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
      transfer_(geometry_.transferBytes, 0) {
    const uint32_t w = geometry_.width, h = geometry_.height;
    const bool colour = geometry_.layout != RawLayout::Luma;
    const size_t planeBytes = size_t(w) * h * (colour ? 2 : 1);
    background_.assign(planeBytes, 0);
    pristine_ = PlanesAt(background_.data(), w, h, colour);
    PaintBackground(pristine_, channel_);
    if (geometry_.layout == RawLayout::Jpeg) {
        working_ = background_;
        picture_ = PlanesAt(working_.data(), w, h, colour);
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
    StampFrame(picture_, pristine_, channel_, frameNumber, previous_);
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
        size_t size = EncodeJpeg422(picture_, data, geometry_.imageBytes);
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

} // namespace m4350::sim
