// The streaming class's own records behind the public AVStream objects.
//
// Every object the class hands to a minidriver (KSDEVICE, KSFILTERFACTORY,
// KSFILTER, KSPIN) is the second member of an envelope whose first member is
// an ObjectHeader. Calls that get only the public pointer (KsGetDevice,
// KsGetParent, KsPinAttemptProcessing, ...) step back to the header and from
// there to the record that owns the object.
#pragma once

#include <ks.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ks {

struct Device;
struct FilterFactory;
struct Filter;
struct Pin;

inline constexpr ULONG kObjectMagic = 0x4B534F42; // "BOSK"

struct ObjectHeader {
    ULONG magic;
    KSOBJECTTYPE type;
    void* owner; // the Device, FilterFactory, Filter or Pin
};
static_assert(sizeof(ObjectHeader) == 16, "the public record follows at a fixed offset");

template <class Public>
struct Envelope {
    ObjectHeader header;
    Public pub;
};

inline constexpr std::size_t kPublicOffset = offsetof(Envelope<KSPIN>, pub);
static_assert(offsetof(Envelope<KSDEVICE>, pub) == kPublicOffset);
static_assert(offsetof(Envelope<KSFILTERFACTORY>, pub) == kPublicOffset);
static_assert(offsetof(Envelope<KSFILTER>, pub) == kPublicOffset);

// The header of a public object, or nullptr for anything the class did not
// hand out (or has already destroyed).
ObjectHeader* HeaderOf(const void* object);

Device* DeviceOf(const void* object); // the device any object belongs to
Filter* FilterFromPublic(PKSFILTER filter);
Pin* PinFromPublic(PKSPIN pin);

// ---------------------------------------------------------------------------
// Object bags

class ObjectBag {
public:
    ObjectBag();
    ~ObjectBag();
    ObjectBag(const ObjectBag&) = delete;
    ObjectBag& operator=(const ObjectBag&) = delete;

    NTSTATUS Add(void* item, PFNKSFREE free);
    // Returns how many bags still hold the item (0 or 1 here: an item lives in
    // one bag at a time).
    ULONG Remove(void* item, bool free);
    NTSTATUS Edit(void** pointerToItem, ULONG newSize, ULONG oldSize, ULONG tag);
    // Frees every item, newest first, so an item added later (which may refer
    // to an earlier one) goes first.
    void FreeAll();

    KSOBJECT_BAG Handle() { return this; }
    static ObjectBag* FromHandle(KSOBJECT_BAG bag);

private:
    struct Item {
        void* item;
        PFNKSFREE free;
    };
    static void FreeItem(const Item& item);

    ULONG magic_;
    std::mutex lock_;
    std::vector<Item> items_;
};

// ---------------------------------------------------------------------------
// File objects: what a client handle refers to

enum class FileKind { Filter, Pin };

// FsContext holds the public KSFILTER or KSPIN.
struct FileContext {
    FILE_OBJECT file{};
    FileKind kind;
};

// ---------------------------------------------------------------------------
// Device

enum class PnpState { Added, Started, Stopped, SurpriseRemoved, Removed };

struct Driver {
    PDRIVER_OBJECT driverObject = nullptr;
    const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
};

struct Device {
    Envelope<KSDEVICE> env{};
    Driver* driver = nullptr;
    ULONG instance = 0;
    KMUTEX mutex{}; // KsAcquireDevice
    ObjectBag bag;
    std::atomic<PnpState> state{PnpState::Added}; // read by clients enumerating

    std::mutex lock; // factories and filters below
    std::vector<FilterFactory*> factories;
    std::vector<std::shared_ptr<Filter>> filters;
    // The pins a system sleep took from Run to Pause, for the wake to run
    // again; written by the sleep and the wake under `lock`.
    std::vector<std::weak_ptr<Pin>> pausedForSleep;

    PKSDEVICE Public() { return &env.pub; }
};

// ---------------------------------------------------------------------------
// Filter factory

struct FilterFactory {
    Envelope<KSFILTERFACTORY> env{};
    Device* device = nullptr;
    ObjectBag bag;
    std::wstring referenceString;
    ULONG createItemFlags = 0;
    std::atomic<bool> interfacesEnabled{true};
    std::vector<std::pair<GUID, std::wstring>> interfaces; // category, symbolic link

    PKSFILTERFACTORY Public() { return &env.pub; }
};

// ---------------------------------------------------------------------------
// Filter

struct Filter {
    Envelope<KSFILTER> env{};
    Device* device = nullptr;
    FilterFactory* factory = nullptr;
    ObjectBag bag;
    // The control mutex: creation and closing of pins, state changes, and
    // every property or method request on the filter or its pins.
    std::recursive_mutex control;
    std::vector<std::shared_ptr<Pin>> pins;
    bool closed = false;
    std::unique_ptr<FileContext> file;

    PKSFILTER Public() { return &env.pub; }
};

// ---------------------------------------------------------------------------
// Pin

struct QueuedFrame {
    std::vector<LONGLONG> header; // StreamHeaderSize bytes, 8-aligned
    ULONG headerSize = 0;
    NTSTATUS status = STATUS_SUCCESS;
};

struct CompletedFrameRecord {
    std::vector<LONGLONG> header;
    ULONG headerSize = 0;
    NTSTATUS status = STATUS_SUCCESS;
};

class ReferenceClock;

struct Pin {
    Envelope<KSPIN> env{};
    std::shared_ptr<Filter> filter;
    ObjectBag bag;
    std::vector<LONGLONG> format; // the connection format's storage
    bool closed = false;          // guarded by the filter's control mutex
    std::unique_ptr<FileContext> file;

    // Streaming state, guarded by queueLock.
    std::mutex queueLock;
    std::condition_variable wake;       // the processing thread
    std::condition_variable idle;       // processing finished
    std::condition_variable completion; // a frame completed, or the pin closed
    std::deque<QueuedFrame> queue;
    std::deque<CompletedFrameRecord> completed;
    bool processRequested = false;
    bool processing = false;
    bool processAllowed = false; // the pin's state lets the process routine run
    bool exiting = false;
    bool acceptingFrames = false; // the pin is out of Stop
    bool streamClosed = false;    // no more completions will come
    std::uint64_t ejected = 0;    // frames handed back so far
    KSSTREAM_POINTER leading{};
    bool leadingLocked = false;
    NTSTATUS leadingStatus = STATUS_SUCCESS;
    std::thread worker;

    // Reference clock assigned by the client.
    bool clockAssigned = false;

    PKSPIN Public() { return &env.pub; }
    const KSPIN_DESCRIPTOR_EX* Descriptor() { return env.pub.Descriptor; }
};

// Pin operations the client side and the automation use.
NTSTATUS CreatePin(const std::shared_ptr<Filter>& filter, const KSPIN_CONNECT* connect,
                   const KSDATAFORMAT* format, ULONG formatSize, std::shared_ptr<Pin>* out);
void ClosePin(const std::shared_ptr<Pin>& pin);
NTSTATUS SetPinState(Pin* pin, KSSTATE target);
NTSTATUS ChangePinFormat(Pin* pin, const KSDATAFORMAT* format, ULONG formatSize);
// Finds the first of the pin factory's ranges that the format falls in.
const KSDATARANGE* MatchDataRange(const KSPIN_DESCRIPTOR_EX* descriptor,
                                  const KSDATAFORMAT* format);

// The client's buffers and completed frames.
NTSTATUS QueueFrame(Pin* pin, const KSSTREAM_HEADER* header);
NTSTATUS WaitFrame(Pin* pin, std::chrono::milliseconds timeout, CompletedFrameRecord* out);
std::size_t CompletedCount(Pin* pin);
void AssignClock(Pin* pin, bool assign);

// Runs fn with the pin while it cannot be destroyed; false for anything that
// is not a live pin.
bool WithLivePin(PKSPIN pin, const std::function<void(Pin*)>& fn);

// Filter operations.
NTSTATUS OpenFilter(FilterFactory* factory, std::shared_ptr<Filter>* out);
void CloseFilter(const std::shared_ptr<Filter>& filter);

// The pin descriptor of a pin factory of a filter, or nullptr.
const KSPIN_DESCRIPTOR_EX* PinFactoryDescriptor(Filter* filter, ULONG pinId);
ULONG PinInstanceCount(Filter* filter, ULONG pinId);

// Automation: one IOCTL_KS_PROPERTY or IOCTL_KS_METHOD request on a filter or
// pin, given as the stack location of the IRP describes it.
NTSTATUS DispatchAutomation(FileContext* file, PIRP irp);

// IRPs the class builds for the calls it makes into a minidriver.
PIRP AllocateRequestIrp(UCHAR majorFunction, FileContext* file, PDEVICE_OBJECT device);

// The registry of public objects and of device interfaces.
void RegisterPublic(const void* object, ObjectHeader* header);
void UnregisterPublic(const void* object);
std::vector<std::wstring> InterfaceLinks(const GUID& category);
FilterFactory* FactoryForLink(const std::wstring& link);
FilterFactory* FactoryForReference(const GUID& category, const std::wstring& reference);

// Held by every open and by the PnP calls that take factories or filters
// away, so an open never works on a factory that is being deleted.
std::mutex& OpenLock();

// Live-object counters for the host API.
extern std::atomic<long> g_liveDevices;
extern std::atomic<long> g_liveFilters;
extern std::atomic<long> g_livePins;
extern std::atomic<long> g_liveClocks;

} // namespace ks
