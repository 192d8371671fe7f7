// Frame delivery: a capture pin's process routine, which converts the
// channel's oldest completed frame into the application's buffer in the
// connected format and stamps its stream header.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

// STATUS_SUCCESS when a buffer went back to the application, STATUS_PENDING
// when there was nothing to deliver (no frame, no buffer, or a frame the
// connected format cannot take).
NTSTATUS CapturePinProcess(PKSPIN pin);

// How one frame is written into an application buffer: the result of the
// choice frame delivery makes from the connected format, the mode and the
// frame itself. Separate from the process routine so that the choice can
// be examined on plain buffers.
struct DeliveryGeometry {
    ULONG sourceWidth; // pixels per source line
    ULONG sourceLines; // lines the board sends per frame
    BOOLEAN field;     // the mode sends one field (half the lines)
    LONG width;        // output width W
    LONG height;       // output rows H
    LONG pad;          // biWidth - W
    BOOLEAN bottomUp;  // biHeight >= 0
    BOOLEAN rotate;
    BOOLEAN topDown;
};

// The geometry of a frame of the mode for the format (Board flags given).
VOID ComputeDeliveryGeometry(ULONG format, ULONG scale, const KS_BITMAPINFOHEADER* bitmap,
                             ULONG rotate, ULONG topDown, DeliveryGeometry* geometry);

// Whether a frame can be converted at all: FALSE for a negative pad, a pad
// on a format whose routines have none, or a geometry that does not match
// the frame the mode sends.
BOOLEAN DeliveryGeometryUsable(const DeliveryGeometry* geometry, ULONG compression);

// Converts the frame into dst (extent bytes) and returns DataUsed, given the
// header's DataUsed before. colour: the channel's colour flag; rawSize: the
// bytes of picture the frame holds; compressedSize: the board's JPEG size.
// Never writes past extent and never reads past rawSize.
ULONG ConvertFrame(const DeliveryGeometry* geometry, const KS_BITMAPINFOHEADER* bitmap,
                   const UCHAR* frame, ULONG rawSize, ULONG compressedSize, ULONG colour,
                   PUCHAR dst, ULONG extent, ULONG dataUsedBefore);
