// The stream parser: splits the board's interleaved stream into per-channel
// frames in the frame store and routes the board's answers to their waiters.
//
// It runs at dispatch level inside the read completion, under the Board's
// lock for the whole block: it never waits, never allocates, and never reads
// or writes outside the block or the frame buffer it fills.
#pragma once

#include <wdm.h>

struct Board;

// A frame on the stream: a 512-byte header, then the image, continued in the
// following blocks without headers of their own.
constexpr ULONG FrameMarker = 0x4350DA4A;
constexpr ULONG FrameHeaderSize = 512;

// Bytes a marker needs after it to be taken: the answer's five words and the
// header's interpreted fields. A marker closer than this to the end of a block
// is not looked at; the board starts every frame and answer on a fresh read,
// so only a corrupt stream puts one there.
constexpr ULONG MarkerSpan = 24;

// One completed read. length is the read's transfer length: the whole block
// is taken as stream data.
void parseStreamBlock(Board* board, const UCHAR* block, ULONG length);
