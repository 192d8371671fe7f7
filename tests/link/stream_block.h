// Builders for the board's stream as the read pipe hands it to the parser:
// 16384-byte blocks holding frame headers, answers and image bytes.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace m4350test {

constexpr ULONG BlockBytes = 16384;
constexpr ULONG StreamFrameMarker = 0x4350DA4A;
constexpr ULONG StreamAnswerMarker = 0x4350ACAC;

inline void PutWord(std::vector<UCHAR>& block, size_t offset, ULONG value) {
    for (int i = 0; i < 4; ++i) {
        block[offset + i] = UCHAR(value >> (8 * i));
    }
}

inline ULONG GetWord(const UCHAR* p) {
    ULONG value;
    std::memcpy(&value, p, 4);
    return value;
}

inline void PutFrameHeader(std::vector<UCHAR>& block, size_t offset, ULONG boardChannel,
                           LONG frameSize, ULONG compressedSize = 0) {
    PutWord(block, offset, StreamFrameMarker);
    PutWord(block, offset + 4, boardChannel);
    PutWord(block, offset + 12, ULONG(frameSize));
    PutWord(block, offset + 16, compressedSize);
}

inline void PutAnswer(std::vector<UCHAR>& block, size_t offset, ULONG boardChannel, ULONG type,
                      ULONG status = 0, ULONG version = 0) {
    PutWord(block, offset, StreamAnswerMarker);
    PutWord(block, offset + 4, boardChannel);
    PutWord(block, offset + 8, type);
    PutWord(block, offset + 12, status);
    PutWord(block, offset + 16, version);
}

// Image bytes that tell where they came from: a pattern keyed by a seed.
inline void FillPattern(std::vector<UCHAR>& block, size_t from, uint32_t seed) {
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = from; i < block.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        block[i] = UCHAR(x >> 24);
    }
}

// One frame as the board sends it: the header block, then blocks of image,
// the whole padded to whole blocks. Returns the image bytes the frame carries.
inline std::vector<std::vector<UCHAR>> FrameBlocks(ULONG boardChannel, LONG frameSize,
                                                   uint32_t seed,
                                                   std::vector<UCHAR>* image = nullptr) {
    std::vector<std::vector<UCHAR>> blocks;
    size_t total = (size_t(frameSize) + BlockBytes - 1) / BlockBytes * BlockBytes;
    std::vector<UCHAR> stream(total, 0);
    std::vector<UCHAR> pattern(total, 0);
    FillPattern(pattern, 0, seed);
    std::memcpy(stream.data() + 512, pattern.data() + 512, total - 512);
    for (size_t i = 0; i < 512; ++i) {
        stream[i] = 0;
    }
    PutFrameHeader(stream, 0, boardChannel, frameSize);
    for (size_t at = 0; at < total; at += BlockBytes) {
        blocks.emplace_back(stream.begin() + at, stream.begin() + at + BlockBytes);
    }
    if (image) {
        image->assign(stream.begin() + 512, stream.begin() + frameSize);
    }
    return blocks;
}

} // namespace m4350test
