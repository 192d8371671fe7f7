// The client side of kernel streaming: what an application, a tool or the KS
// proxy uses to reach the filters and pins of a streaming minidriver. Handles
// are kernel-handle-like values; requests are shaped like DeviceIoControl on
// such a handle, so code written against KsSynchronousDeviceControl uses
// DeviceIoControl below unchanged.
//
//   auto links = host::ks::EnumerateFilters(KSCATEGORY_VIDEO);
//   HANDLE filter;  host::ks::OpenFilter(links[0].c_str(), &filter);
//   // or OpenFilterByReference(KSCATEGORY_VIDEO, L"m4350av_chan1", &filter)
//   KS_DATAFORMAT_VIDEOINFOHEADER format;  ULONG size;
//   host::ks::IntersectDataRange(filter, 0, &range.DataRange, &format, sizeof format, &size);
//   HANDLE pin;  host::ks::CreatePin(filter, 0, &format.DataFormat, &pin);
//   host::ks::SetPinState(pin, KSSTATE_RUN);   // walks Stop→Acquire→Pause→Run
//   host::ks::StreamBuffer buffer(128, frameBytes); // a 128-byte header and the frame
//   host::ks::QueueBuffer(pin, buffer.Header());
//   host::ks::CompletedFrame frame;
//   host::ks::WaitForFrame(pin, std::chrono::seconds(2), &frame); // frame.Header()->DataUsed
//   host::ks::SetPinState(pin, KSSTATE_STOP);  // queued buffers come back STATUS_CANCELLED
//   host::ks::CloseHandle(pin);  host::ks::CloseHandle(filter);
//
// Property and method requests: DeviceIoControl(handle, IOCTL_KS_PROPERTY or
// IOCTL_KS_METHOD, request, requestLength, data, dataLength, &bytesReturned).
#pragma once

#include <ks.h>

#include <chrono>
#include <string>
#include <vector>

namespace host::ks {

// Symbolic links of the enabled filter interfaces of one category, oldest
// first. A link reads "\\?\ks#dev<N>#{category}\<reference string>".
std::vector<std::wstring> EnumerateFilters(const GUID& category);

NTSTATUS OpenFilter(const wchar_t* symbolicLink, HANDLE* filter);
// The first interface of the category with this reference string.
NTSTATUS OpenFilterByReference(const GUID& category, const wchar_t* referenceString,
                               HANDLE* filter);

// Closes a filter (with any pin still open on it) or a pin.
NTSTATUS CloseHandle(HANDLE handle);

// IOCTL_KS_PROPERTY and IOCTL_KS_METHOD on a filter or pin handle. The
// request buffer starts with a KSPROPERTY or KSMETHOD; data is the output
// (or, for a set, the input) buffer and may be the request buffer itself.
NTSTATUS DeviceIoControl(HANDLE handle, ULONG ioControlCode, PVOID request, ULONG requestLength,
                         PVOID data, ULONG dataLength, PULONG bytesReturned);

// Shorthands for the common property calls.
NTSTATUS GetProperty(HANDLE handle, const GUID& set, ULONG id, PVOID data, ULONG dataLength,
                     PULONG bytesReturned);
NTSTATUS SetProperty(HANDLE handle, const GUID& set, ULONG id, PVOID data, ULONG dataLength);

// Pin factories of a filter, through the pin property set.
NTSTATUS GetPinFactoryCount(HANDLE filter, ULONG* count);
// KSPROPERTY_PIN_DATAINTERSECTION with one range: the pin's intersect handler
// is asked for each of the pin's ranges until one answers. A zero dataLength
// asks for the size (STATUS_BUFFER_OVERFLOW, size in *dataSize).
NTSTATUS IntersectDataRange(HANDLE filter, ULONG pinId, const KSDATARANGE* range, PVOID data,
                            ULONG dataLength, PULONG dataSize);

// Creates a pin of the pin factory with the given format (FormatSize bytes).
NTSTATUS CreatePin(HANDLE filter, ULONG pinId, const KSDATAFORMAT* format, HANDLE* pin);
// KSPROPERTY_CONNECTION_STATE set: the class walks one state at a time.
NTSTATUS SetPinState(HANDLE pin, KSSTATE state);
NTSTATUS GetPinState(HANDLE pin, KSSTATE* state);
// KSPROPERTY_CONNECTION_DATAFORMAT set on an existing pin.
NTSTATUS SetPinDataFormat(HANDLE pin, const KSDATAFORMAT* format);
// Gives the pin a reference clock (or takes it away).
NTSTATUS AssignPinClock(HANDLE pin, bool assign);

// Hands an empty buffer to a capture pin. header->Size must be the pin's
// stream header size (sizeof(KSSTREAM_HEADER) when the pin asks for none);
// Data and FrameExtent name the buffer, which stays lent to the class until
// the frame completes. The header is copied; the completed frame carries the
// class's copy as the minidriver left it.
NTSTATUS QueueBuffer(HANDLE pin, const KSSTREAM_HEADER* header);

struct CompletedFrame {
    NTSTATUS Status = STATUS_SUCCESS; // STATUS_CANCELLED when the pin stopped first
    std::vector<LONGLONG> HeaderStorage;
    ULONG HeaderSize = 0;
    const KSSTREAM_HEADER* Header() const {
        return reinterpret_cast<const KSSTREAM_HEADER*>(HeaderStorage.data());
    }
    // The extended header after the stream header, when there is one.
    const void* Extension() const {
        return HeaderSize > sizeof(KSSTREAM_HEADER)
                   ? reinterpret_cast<const char*>(HeaderStorage.data()) + sizeof(KSSTREAM_HEADER)
                   : nullptr;
    }
};

// The oldest completed frame: STATUS_SUCCESS with *frame filled,
// STATUS_TIMEOUT when none completes in time, STATUS_CANCELLED once the pin
// is closed and drained, STATUS_INVALID_HANDLE for anything but a pin.
NTSTATUS WaitForFrame(HANDLE pin, std::chrono::milliseconds timeout, CompletedFrame* frame);
// Completed frames not yet collected.
std::size_t CompletedFrameCount(HANDLE pin);

// A buffer with its stream header, for clients that queue many.
class StreamBuffer {
public:
    StreamBuffer(ULONG headerSize, ULONG frameExtent);
    KSSTREAM_HEADER* Header() { return reinterpret_cast<KSSTREAM_HEADER*>(header_.data()); }
    unsigned char* Data() { return data_.data(); }
    ULONG FrameExtent() const { return static_cast<ULONG>(data_.size()); }

private:
    std::vector<LONGLONG> header_;
    std::vector<unsigned char> data_;
};

} // namespace host::ks
