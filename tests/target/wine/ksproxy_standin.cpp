// Stand-in for the streaming proxy's KsSynchronousDeviceControl: see
// ksproxy_standin.h.
#include "ksproxy_standin.h"

#include <string.h>

namespace {

StandInState state = {0, {}, S_OK, 0, FALSE};

// Method ids of the device's method set and the offset of each one's reply
// word; requests start with the 24-byte method header.
struct Reply {
    ULONG method;
    ULONG length;
    ULONG offset;
};
constexpr Reply Replies[] = {
    {0, 40, 36},     // set attribute: result
    {1, 40, 32},     // get attribute: value
    {5, 8224, 0},    // update EEPROM: no reply word
    {6, 8232, 8224}, // verify EEPROM: result
    {7, 32, 28},     // version
    {8, 32, 24},     // serial number
};

} // namespace

extern "C" StandInState* WINAPI StandInStateOf() {
    return &state;
}

extern "C" HRESULT WINAPI KsSynchronousDeviceControl(HANDLE handle, ULONG ioControl, PVOID inBuffer,
                                                     ULONG inLength, PVOID outBuffer,
                                                     ULONG outLength, PULONG bytesReturned) {
    ++state.calls;
    StandInCall& call = state.last;
    call.handle = handle;
    call.ioControl = ioControl;
    call.inBuffer = inBuffer;
    call.inLength = inLength;
    call.outBuffer = outBuffer;
    call.outLength = outLength;
    call.bytesReturnedGiven = bytesReturned != nullptr;
    memset(call.request, 0, sizeof call.request);
    if (inBuffer && inLength <= sizeof call.request)
        memcpy(call.request, inBuffer, inLength);

    if (FAILED(state.answerResult)) {
        if (bytesReturned)
            *bytesReturned = 0;
        return state.answerResult;
    }
    ULONG method = 0;
    if (inBuffer && inLength >= 24)
        memcpy(&method, static_cast<BYTE*>(inBuffer) + 16, sizeof method);
    for (const Reply& reply : Replies) {
        if (reply.method == method && reply.offset && reply.length == outLength &&
            !state.leaveReply && outBuffer) {
            memcpy(static_cast<BYTE*>(outBuffer) + reply.offset, &state.answerWord,
                   sizeof state.answerWord);
        }
    }
    if (bytesReturned)
        *bytesReturned = outLength;
    return state.answerResult;
}
