// Data intersection for the capture pin: turns an application's data range
// into a concrete video format.
#pragma once

#include <ks.h>
#include <ksmedia.h>

// The pin's intersect handler. callerRange is the application's range,
// descriptorRange one of the pin's own ranges. A caller range matches only
// when its stream caps are byte for byte those of the descriptor range, that
// is when it names one catalogue entry. On success Data holds a
// KS_DATAFORMAT_VIDEOINFOHEADER and *DataSize its size; a zero-length buffer
// asks for that size (STATUS_BUFFER_OVERFLOW).
NTSTATUS CapturePinIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                                    PKSDATARANGE descriptorRange, ULONG dataBufferSize, PVOID data,
                                    PULONG dataSize);
