// The stand-in streaming proxy the plug-in is tested against under Wine. It
// exports KsSynchronousDeviceControl as ksproxy.ax does, keeps a copy of
// every request it is sent and answers as the driver's method handlers
// would: the answer word goes where the method's reply lives, and the call
// returns the HRESULT the test chose. Wine's own ksproxy.ax has no such
// routine, so the test finds StandInStateOf only when ours was loaded.
#pragma once

#include <windows.h>

// The largest request of the method set (verify EEPROM).
constexpr ULONG StandInRequestCapacity = 8232;

struct StandInCall {
    HANDLE handle;
    ULONG ioControl;
    const void* inBuffer;
    ULONG inLength;
    const void* outBuffer;
    ULONG outLength;
    BOOL bytesReturnedGiven;
    BYTE request[StandInRequestCapacity]; // the request as it arrived
};

struct StandInState {
    LONG calls;           // requests received since the last reset
    StandInCall last;     // the most recent one
    HRESULT answerResult; // returned by the next requests
    LONG answerWord;      // written into the method's reply word on success
    BOOL leaveReply;      // answer without touching the reply (an unknown attribute)
};

// Exported by the stand-in; the test resolves it with GetProcAddress.
typedef StandInState*(WINAPI* StandInStateRoutine)();
