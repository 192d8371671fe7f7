// PinContext: one capture pin's record, and the pin's creation and format
// negotiation (the Create and SetDataFormat dispatches).
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

struct CaptureDevice;

// Pin run states.
constexpr ULONG RunStateStopped = 0; // not acquiring
constexpr ULONG RunStatePaused = 1;  // acquiring, frames not taken
constexpr ULONG RunStateRunning = 2;

// Frames and frame size the pin's allocator framing asks for.
constexpr ULONG CapturePinFrames = 6;
// A KSSTREAM_HEADER followed by a KS_FRAME_INFO.
constexpr ULONG CaptureStreamHeaderSize = 128;

struct PinContext {
    ULONG framesDelivered; // since the stream started
    ULONG channel;         // 0 to 3
    ULONG previewMode;     // PreviewMode at the stream's start
    PKSPIN pin;
    CaptureDevice* device; // taken again from the pin at every state change
    ULONG runState;        // RunState*
    PIKSREFERENCECLOCK referenceClock;
    // The newest copy of the connected format, in the pin's bag. Replaced by
    // format negotiation (under the class's filter control mutex) with
    // formatLock held; frame delivery reads it under formatLock, so a
    // replaced copy is freed once the lock has been let go.
    PKS_VIDEOINFOHEADER formatCopy;
    ULONG colourSnapshot; // m_bColor as frame delivery last read it
    UCHAR clockHeld;      // 1 from a successful Stop -> Acquire until Stop
    KSPIN_LOCK formatLock;
};

inline PinContext* GetPinContext(PKSPIN pin) {
    return static_cast<PinContext*>(pin->Context);
}

// The connected format's bitmap header and frame interval, as one consistent
// read beside a format change. FALSE when the pin has no format copy.
BOOLEAN ReadConnectedFormat(PinContext* context, KS_BITMAPINFOHEADER* bitmap, LONGLONG* interval);

// The four Create dispatches, identical but for the channel they store.
NTSTATUS CapturePinCreate0(PKSPIN pin, PIRP irp);
NTSTATUS CapturePinCreate1(PKSPIN pin, PIRP irp);
NTSTATUS CapturePinCreate2(PKSPIN pin, PIRP irp);
NTSTATUS CapturePinCreate3(PKSPIN pin, PIRP irp);

NTSTATUS CapturePinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat,
                                 PKSMULTIPLE_ITEM oldAttributeList, const KSDATARANGE* dataRange,
                                 const KSATTRIBUTE_LIST* attributeRange);

// A private copy of the pin's connection format's video info header, added
// to the pin's bag and made the context's format copy in place of the one
// before, which is freed. Null, with the old copy kept, when memory is short
// or the connection format is shorter than its bitmap header says.
PKS_VIDEOINFOHEADER MakeFormatCopy(PinContext* context);
