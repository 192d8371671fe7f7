// A stand-in for m4350av's method handlers: a streaming minidriver of the
// suite's own whose one filter carries the device method set (and a
// property set of its own, so the filter reports both kinds). Each request
// is recorded with the bytes of its data buffer exactly as the handler
// received them; the answer each method gives is set by the test.
#pragma once

#include <ks.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace standin {

// {3A7C1E90-5B2D-4F61-8E4A-9C0B7D2F6A11}
inline constexpr GUID PropertySet = {
    0x3A7C1E90, 0x5B2D, 0x4F61, {0x8E, 0x4A, 0x9C, 0x0B, 0x7D, 0x2F, 0x6A, 0x11}};

struct Request {
    ULONG id = 0;
    ULONG dataLength = 0;
    std::vector<uint8_t> data; // as the handler received it
};

// How one method answers: the status, and words written at byte offsets of
// the data buffer (reaching the caller only on success).
struct Answer {
    NTSTATUS status = STATUS_SUCCESS;
    std::map<ULONG, int32_t> words;
    // Bytes the handler reports back; unset: the whole data buffer.
    std::optional<ULONG_PTR> information;
};

class Recorder {
public:
    void SetAnswer(ULONG id, Answer answer);
    std::vector<Request> Requests();
    // Called by the handlers.
    NTSTATUS Handle(ULONG id, void* data, ULONG length, ULONG_PTR* information);

private:
    std::mutex lock_;
    std::vector<Request> requests_;
    std::map<ULONG, Answer> answers_;
};

Recorder& TheRecorder();
void Reset();

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

} // namespace standin
