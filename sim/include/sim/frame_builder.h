// One channel's frames in one mode, as they go out on the stream pipe: a
// 512-byte header, the raw picture in the mode's layout and padding up to the
// mode's transfer size. The picture is painted once when the builder is made;
// each frame then stamps only what changes (header words, code strip, digits,
// moving box), or, for JPEG, stamps and re-encodes.
#pragma once

#include <sim/jpeg_codec.h>
#include <sim/mode.h>
#include <sim/test_pattern.h>

#include <cstdint>
#include <span>
#include <vector>

namespace m4350::sim {

class FrameBuilder {
public:
    FrameBuilder(uint32_t boardChannel, const ModeSettings& mode);

    // Stamps frame `frameNumber` into the transfer and returns all of it
    // (geometry().transferBytes bytes). The span stays valid until the next
    // Build call.
    std::span<const uint8_t> Build(uint32_t frameNumber);

    // The last built transfer, writable, so that a fault can damage it.
    uint8_t* transfer() { return transfer_.data(); }

    const FrameGeometry& geometry() const { return geometry_; }
    const ModeSettings& mode() const { return mode_; }
    uint32_t boardChannel() const { return channel_; }
    // JPEG bytes of the last frame; 0 for raw layouts.
    uint32_t compressedSize() const { return compressed_; }

private:
    bool PrepareSplice();
    size_t SpliceJpeg(uint8_t* out, size_t capacity);

    uint32_t channel_;
    ModeSettings mode_;
    FrameGeometry geometry_;
    std::vector<uint8_t> transfer_;   // header + image + padding
    std::vector<uint8_t> background_; // the unstamped planes
    std::vector<uint8_t> working_;    // JPEG only: the stamped planes before encoding
    PlanarImage picture_;             // where stamps go
    PlanarImage pristine_;
    PictureControls controls_; // the mode's, applied to everything but the code strip
    uint32_t previous_ = 0;
    uint32_t compressed_ = 0;

    // JPEG: the background encoded once with a restart marker per row of
    // MCUs; each frame re-encodes only the rows the stamps touch and splices
    // them in.
    bool splice_ = false;
    std::vector<uint8_t> backgroundJpeg_;
    JpegRows backgroundRows_;
    std::vector<uint32_t> dirtyRows_; // MCU rows (8 lines each), ascending
    std::vector<uint8_t> dirtyPlanes_;
    PlanarImage dirtyImage_;
    std::vector<uint8_t> dirtyJpeg_;
};

} // namespace m4350::sim
