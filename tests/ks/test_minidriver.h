// A small streaming minidriver of the suite's own: one filter factory kind
// with a capture pin, a property set and a method set, and switches that let
// a test fail any step. Everything it is called with is written to a journal
// the tests read.
#pragma once

#include <ksmedia.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace ktest {

// {0E2C36A9-6A53-4D7C-9F27-4D1B1A3E7C01}
DEFINE_GUID(PROPSETID_KsTest, 0x0E2C36A9, 0x6A53, 0x4D7C, 0x9F, 0x27, 0x4D, 0x1B, 0x1A, 0x3E, 0x7C,
            0x01);
// {0E2C36A9-6A53-4D7C-9F27-4D1B1A3E7C02}
DEFINE_GUID(METHODSETID_KsTest, 0x0E2C36A9, 0x6A53, 0x4D7C, 0x9F, 0x27, 0x4D, 0x1B, 0x1A, 0x3E,
            0x7C, 0x02);

enum TestProperty : ULONG {
    kPropValue = 0,     // LONG, get and set, with a values table
    kPropGetOnly = 1,   // 8 bytes, get only
    kPropOverreport = 2 // get: claims more bytes than the buffer holds
};
enum TestMethod : ULONG {
    kMethodIncrement = 0, // KSMETHOD_TYPE_MODIFY: adds 1 to the ULONG at offset 24
    kMethodReadOnly = 1,  // KSMETHOD_TYPE_READ: records the ULONG at offset 24, then overwrites it
    kMethodWriteOnly = 2, // KSMETHOD_TYPE_WRITE: answers 0xBEEF at offset 24
};

inline constexpr ULONG kStreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
inline constexpr ULONG kFormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
inline constexpr LONG kValueMin = -10;
inline constexpr LONG kValueMax = 10;
inline constexpr LONG kValueDefault = 3;

// The pin's ranges, in order: UYVY and YUY2, 64 x 48, then UYVY 32 x 24
// (the same GUIDs as the first).
const KS_DATARANGE_VIDEO& RangeUyvy();
const KS_DATARANGE_VIDEO& RangeYuy2();
const KS_DATARANGE_VIDEO& RangeUyvySmall();
const KSFILTER_DESCRIPTOR& FilterDescriptor();
const KSPIN_DESCRIPTOR_EX& CapturePinDescriptor();

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// What the driver saw, and what it should do.
struct Journal {
    std::mutex lock;
    std::vector<std::string> events;

    // Switches: a non-success status makes that step fail.
    NTSTATUS addStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_SUCCESS;
    NTSTATUS filterCreateStatus = STATUS_SUCCESS;
    NTSTATUS pinCreateStatus = STATUS_SUCCESS;
    NTSTATUS setFormatStatus = STATUS_SUCCESS;
    int failStateTo = -1; // SetDeviceState to this state fails
    // SetDataFormat answers STATUS_NO_MATCH for a range of another width
    // than the format's, as a minidriver with several sizes per subtype does.
    bool matchWidth = false;
    // The process routine answers STATUS_SUCCESS without doing anything.
    std::atomic<bool> succeedWithoutWork{false};

    // Observations.
    PVOID deviceContext = nullptr;
    PVOID filterContextAtCreate = nullptr;
    PVOID filterContext = nullptr;
    PVOID pinContextAtSetFormat = nullptr;
    PVOID pinContextAtCreate = nullptr;
    const KSDATARANGE* rangeAtSetFormat = nullptr;
    std::vector<const KSDATARANGE*> rangesOffered;      // every SetDataFormat call's range
    std::vector<std::vector<unsigned char>> oldFormats; // per SetDataFormat call; empty for none
    PKSFILTERFACTORY freeOnStopFactory = nullptr;
    PKSFILTERFACTORY keeperFactory = nullptr;
    PKSPIN pin = nullptr;
    LONG value = kValueDefault;
    ULONG readOnlyValue = 0;

    // Processing.
    std::atomic<int> framesReady{0}; // frames the "hardware" has for the pin
    std::atomic<int> processCalls{0};
    std::atomic<int> activeProcess{0};
    std::atomic<int> maxActiveProcess{0};
    std::atomic<int> processOutsideRun{0};
    std::atomic<int> processAbovePassive{0};
    std::atomic<LONGLONG> pictureNumber{0};

    void Record(std::string event) {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(std::move(event));
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }
};

Journal& TheJournal();
void ResetJournal();

} // namespace ktest
