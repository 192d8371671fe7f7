// Pins: creation with a data format, the state walk, the queue of client
// buffers with its leading-edge stream pointer, the processing thread and the
// reference clock.
#include "ks_object.h"

#include <host/driver_time.h>
#include <host/kernel.h>

#include <algorithm>
#include <cstring>

namespace ks {

// ---------------------------------------------------------------------------
// Reference clock

class ReferenceClock final : public IKsReferenceClock {
public:
    ReferenceClock() { ++g_liveClocks; }

    NTSTATUS QueryInterface(REFIID, PVOID* Interface) override {
        if (Interface != nullptr) {
            *Interface = nullptr;
        }
        return STATUS_NOT_SUPPORTED;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    LONGLONG GetTime() override { return static_cast<LONGLONG>(KeQueryInterruptTime()); }
    LONGLONG GetPhysicalTime() override { return GetTime(); }
    LONGLONG GetCorrelatedTime(PLONGLONG SystemTime) override {
        LONGLONG now = GetTime();
        if (SystemTime != nullptr) {
            *SystemTime = now;
        }
        return now;
    }
    LONGLONG GetCorrelatedPhysicalTime(PLONGLONG SystemTime) override {
        return GetCorrelatedTime(SystemTime);
    }
    NTSTATUS GetResolution(PKSRESOLUTION Resolution) override {
        if (Resolution == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        Resolution->Granularity = 1;
        Resolution->Error = 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetState(PKSSTATE State) override {
        if (State == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        *State = KSSTATE_RUN;
        return STATUS_SUCCESS;
    }

private:
    ~ReferenceClock() { --g_liveClocks; }
    std::atomic<ULONG> refs_{1};
};

// ---------------------------------------------------------------------------
// Helpers

static bool GuidMatches(const GUID& range, const GUID& format) {
    return range == GUID_NULL || range == format;
}

static bool FormatFallsIn(const KSDATARANGE* range, const KSDATAFORMAT* format) {
    return range != nullptr && GuidMatches(range->MajorFormat, format->MajorFormat) &&
           GuidMatches(range->SubFormat, format->SubFormat) &&
           GuidMatches(range->Specifier, format->Specifier);
}

const KSDATARANGE* MatchDataRange(const KSPIN_DESCRIPTOR_EX* descriptor,
                                  const KSDATAFORMAT* format) {
    const KSPIN_DESCRIPTOR& pd = descriptor->PinDescriptor;
    for (ULONG i = 0; pd.DataRanges != nullptr && i < pd.DataRangesCount; ++i) {
        if (FormatFallsIn(pd.DataRanges[i], format)) {
            return pd.DataRanges[i];
        }
    }
    return nullptr;
}

// Offers the format to the minidriver with each range it falls in, in the
// descriptor's order, until an answer other than STATUS_NO_MATCH.
template <class Offer>
static NTSTATUS TryMatchingRanges(const KSPIN_DESCRIPTOR_EX* descriptor, const KSDATAFORMAT* format,
                                  Offer offer) {
    const KSPIN_DESCRIPTOR& pd = descriptor->PinDescriptor;
    NTSTATUS status = STATUS_NO_MATCH;
    for (ULONG i = 0; pd.DataRanges != nullptr && i < pd.DataRangesCount; ++i) {
        if (!FormatFallsIn(pd.DataRanges[i], format)) {
            continue;
        }
        status = offer(pd.DataRanges[i]);
        if (status != STATUS_NO_MATCH) {
            return status;
        }
    }
    return status;
}

static ULONG PinFlags(Pin* pin) {
    const KSPIN_DESCRIPTOR_EX* d = pin->Descriptor();
    return d != nullptr ? d->Flags : 0;
}

static const KSPIN_DISPATCH* PinDispatch(Pin* pin) {
    const KSPIN_DESCRIPTOR_EX* d = pin->Descriptor();
    return d != nullptr ? d->Dispatch : nullptr;
}

static bool ProcessAllowedIn(KSSTATE state, ULONG flags) {
    if (state == KSSTATE_RUN) {
        return true;
    }
    return state == KSSTATE_PAUSE && (flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) == 0;
}

// Called with queueLock held.
static bool CanProcess(Pin* pin) {
    return pin->processAllowed &&
           (!pin->queue.empty() || (PinFlags(pin) & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING));
}

static std::vector<LONGLONG> CopyBytes(const void* data, ULONG size) {
    std::vector<LONGLONG> storage((static_cast<size_t>(size) + sizeof(LONGLONG) - 1) /
                                  sizeof(LONGLONG));
    std::memcpy(storage.data(), data, size);
    return storage;
}

// Called with queueLock held: every queued buffer goes back as cancelled.
static void CancelQueuedFrames(Pin* pin) {
    while (!pin->queue.empty()) {
        QueuedFrame& frame = pin->queue.front();
        pin->completed.push_back({std::move(frame.header), frame.headerSize, STATUS_CANCELLED});
        pin->queue.pop_front();
    }
    pin->leadingLocked = false;
    pin->completion.notify_all();
}

// ---------------------------------------------------------------------------
// The processing thread

static void ProcessingThread(Pin* pin) {
    const KSPIN_DISPATCH* dispatch = PinDispatch(pin);
    std::unique_lock<std::mutex> lock(pin->queueLock);
    for (;;) {
        pin->wake.wait(lock,
                       [&] { return pin->exiting || (pin->processRequested && CanProcess(pin)); });
        if (pin->exiting) {
            break;
        }
        pin->processRequested = false;
        pin->processing = true;
        lock.unlock();

        NTSTATUS status;
        {
            host::DriverTimeScope timed;
            status = dispatch->Process(pin->Public());
        }
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            host::ReportViolation(host::Rule::IrqlNotRestored,
                                  "pin process routine returned above PASSIVE_LEVEL");
        }

        lock.lock();
        pin->processing = false;
        // As on Windows, a routine that answers STATUS_SUCCESS is called
        // again at once while it may process, whether or not it did any
        // work: a routine that succeeds without progress spins here as it
        // would there. Any other answer waits for the next arrival or
        // KsPinAttemptProcessing.
        if (status == STATUS_SUCCESS) {
            pin->processRequested = true;
        }
        pin->idle.notify_all();
    }
}

static void RequestProcessing(Pin* pin) {
    pin->processRequested = true;
    if (CanProcess(pin)) {
        pin->wake.notify_one();
    }
}

// ---------------------------------------------------------------------------
// Creation and closing

static void DestroyPinObject(Pin* pin) {
    pin->bag.FreeAll();
    UnregisterPublic(pin->Public());
    --g_livePins;
}

NTSTATUS CreatePin(const std::shared_ptr<Filter>& filter, const KSPIN_CONNECT* connect,
                   const KSDATAFORMAT* format, ULONG formatSize, std::shared_ptr<Pin>* out) {
    std::lock_guard<std::recursive_mutex> control(filter->control);
    if (filter->closed) {
        return STATUS_DEVICE_REMOVED;
    }
    const KSPIN_DESCRIPTOR_EX* descriptor = PinFactoryDescriptor(filter.get(), connect->PinId);
    if (descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (format == nullptr || formatSize < sizeof(KSDATAFORMAT) ||
        format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > formatSize) {
        return STATUS_INVALID_PARAMETER;
    }
    if (descriptor->InstancesPossible != KSINSTANCE_INDETERMINATE &&
        PinInstanceCount(filter.get(), connect->PinId) >= descriptor->InstancesPossible) {
        return STATUS_UNSUCCESSFUL;
    }
    const KSDATARANGE* range = MatchDataRange(descriptor, format);
    if (range == nullptr) {
        return STATUS_NO_MATCH;
    }

    Device* device = filter->device;
    auto pin = std::make_shared<Pin>();
    ++g_livePins;
    pin->filter = filter;
    pin->env.header = {kObjectMagic, KsObjectTypePin, pin.get()};
    pin->format = CopyBytes(format, format->FormatSize);
    PKSPIN pub = pin->Public();
    pub->Descriptor = descriptor;
    pub->Bag = pin->bag.Handle();
    // A new pin starts with its filter's context.
    pub->Context = filter->Public()->Context;
    pub->Id = connect->PinId;
    pub->Communication = descriptor->PinDescriptor.Communication == KSPIN_COMMUNICATION_BOTH
                             ? KSPIN_COMMUNICATION_SINK
                             : descriptor->PinDescriptor.Communication;
    pub->ConnectionIsExternal = TRUE;
    pub->ConnectionInterface = connect->Interface;
    pub->ConnectionMedium = connect->Medium;
    pub->ConnectionPriority = connect->Priority;
    pub->ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format.data());
    pub->AttributeList = nullptr;
    pub->StreamHeaderSize = 0;
    pub->DataFlow = descriptor->PinDescriptor.DataFlow;
    pub->DeviceState = KSSTATE_STOP;
    pub->ResetState = KSRESET_END;
    pub->ClientState = KSSTATE_STOP;

    pin->file = std::make_unique<FileContext>();
    pin->file->file.Type = 5; // IO_TYPE_FILE
    pin->file->file.Size = sizeof(FILE_OBJECT);
    pin->file->file.DeviceObject = device->Public()->FunctionalDeviceObject;
    pin->file->file.FsContext = pub;
    pin->file->file.RelatedFileObject = &filter->file->file;
    pin->file->kind = FileKind::Pin;
    RegisterPublic(pub, &pin->env.header);

    NTSTATUS status = STATUS_SUCCESS;
    const KSPIN_DISPATCH* dispatch = descriptor->Dispatch;
    // The format is validated by the minidriver before its Create sees the pin,
    // against each range it falls in, in order, until one is not refused
    // with STATUS_NO_MATCH.
    if (dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
        status = TryMatchingRanges(descriptor, format, [&](const KSDATARANGE* candidate) {
            return dispatch->SetDataFormat(pub, nullptr, nullptr, candidate, nullptr);
        });
    }
    if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->Create != nullptr) {
        PIRP irp = AllocateRequestIrp(IRP_MJ_CREATE, pin->file.get(),
                                      device->Public()->FunctionalDeviceObject);
        if (irp == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            status = dispatch->Create(pub, irp);
            IoFreeIrp(irp);
        }
    }
    if (!NT_SUCCESS(status)) {
        pin->closed = true;
        pin->streamClosed = true;
        DestroyPinObject(pin.get());
        pin->filter.reset();
        return status;
    }

    // The Create dispatch may have edited the descriptor; use what it left.
    dispatch = PinDispatch(pin.get());
    if (dispatch != nullptr && dispatch->Process != nullptr) {
        Pin* raw = pin.get();
        pin->worker = std::thread([raw] { ProcessingThread(raw); });
    }
    filter->pins.push_back(pin);
    *out = pin;
    return STATUS_SUCCESS;
}

void ClosePin(const std::shared_ptr<Pin>& pin) {
    std::shared_ptr<Filter> filter = pin->filter;
    std::lock_guard<std::recursive_mutex> control(filter->control);
    if (pin->closed) {
        return;
    }
    PKSPIN pub = pin->Public();
    SetPinState(pin.get(), KSSTATE_STOP);
    {
        std::lock_guard<std::mutex> lock(pin->queueLock);
        pin->exiting = true;
        pin->processAllowed = false;
        pin->wake.notify_all();
    }
    if (pin->worker.joinable()) {
        pin->worker.join();
    }
    {
        std::lock_guard<std::mutex> lock(pin->queueLock);
        CancelQueuedFrames(pin.get());
    }
    const KSPIN_DISPATCH* dispatch = PinDispatch(pin.get());
    if (dispatch != nullptr && dispatch->Close != nullptr) {
        PIRP irp = AllocateRequestIrp(IRP_MJ_CLOSE, pin->file.get(),
                                      filter->device->Public()->FunctionalDeviceObject);
        if (irp != nullptr) {
            dispatch->Close(pub, irp);
            IoFreeIrp(irp);
        }
    }
    DestroyPinObject(pin.get());
    auto& pins = filter->pins;
    pins.erase(std::remove(pins.begin(), pins.end(), pin), pins.end());
    pin->closed = true;
    {
        std::lock_guard<std::mutex> lock(pin->queueLock);
        pin->streamClosed = true;
        pin->completion.notify_all();
    }
}

// ---------------------------------------------------------------------------
// States

NTSTATUS SetPinState(Pin* pin, KSSTATE target) {
    if (target < KSSTATE_STOP || target > KSSTATE_RUN) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> control(pin->filter->control);
    if (pin->closed) {
        return STATUS_DEVICE_REMOVED;
    }
    PKSPIN pub = pin->Public();
    pub->ClientState = target;
    while (pub->DeviceState != target) {
        KSSTATE from = pub->DeviceState;
        KSSTATE to = static_cast<KSSTATE>(from < target ? from + 1 : from - 1);
        ULONG flags = PinFlags(pin);
        bool allowedAfter = ProcessAllowedIn(to, flags);
        if (!allowedAfter) {
            // The process routine must be out before the minidriver hears
            // that the pin leaves the state it processes in.
            std::unique_lock<std::mutex> lock(pin->queueLock);
            pin->processAllowed = false;
            pin->idle.wait(lock, [&] { return !pin->processing; });
        }

        const KSPIN_DISPATCH* dispatch = PinDispatch(pin);
        NTSTATUS status = STATUS_SUCCESS;
        if (dispatch != nullptr && dispatch->SetDeviceState != nullptr) {
            status = dispatch->SetDeviceState(pub, to, from);
        }
        if (!NT_SUCCESS(status)) {
            std::lock_guard<std::mutex> lock(pin->queueLock);
            pin->processAllowed = ProcessAllowedIn(from, flags);
            if (pin->processAllowed && !pin->queue.empty()) {
                RequestProcessing(pin);
            }
            pub->ClientState = from;
            return status;
        }
        pub->DeviceState = to;

        std::lock_guard<std::mutex> lock(pin->queueLock);
        pin->acceptingFrames = to != KSSTATE_STOP;
        if (to == KSSTATE_STOP) {
            pin->processRequested = false;
            CancelQueuedFrames(pin);
        }
        pin->processAllowed = allowedAfter;
        if (allowedAfter &&
            (!pin->queue.empty() || (flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING))) {
            RequestProcessing(pin);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS ChangePinFormat(Pin* pin, const KSDATAFORMAT* format, ULONG formatSize) {
    std::lock_guard<std::recursive_mutex> control(pin->filter->control);
    if (pin->closed) {
        return STATUS_DEVICE_REMOVED;
    }
    if (format == nullptr || formatSize < sizeof(KSDATAFORMAT) ||
        format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > formatSize) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSPIN_DESCRIPTOR_EX* descriptor = pin->Descriptor();
    if (descriptor->Flags & KSPIN_FLAG_FIXED_FORMAT) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const KSDATARANGE* range = MatchDataRange(descriptor, format);
    if (range == nullptr) {
        return STATUS_NO_MATCH;
    }
    PKSPIN pub = pin->Public();
    std::vector<LONGLONG> replacement = CopyBytes(format, format->FormatSize);
    PKSDATAFORMAT old = pub->ConnectionFormat;
    pub->ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(replacement.data());
    NTSTATUS status = STATUS_SUCCESS;
    const KSPIN_DISPATCH* dispatch = descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
        status =
            TryMatchingRanges(descriptor, pub->ConnectionFormat, [&](const KSDATARANGE* candidate) {
                return dispatch->SetDataFormat(pub, old, nullptr, candidate, nullptr);
            });
    }
    if (!NT_SUCCESS(status)) {
        pub->ConnectionFormat = old;
        return status;
    }
    pin->format.swap(replacement);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// The client's buffers

NTSTATUS QueueFrame(Pin* pin, const KSSTREAM_HEADER* header) {
    if (header == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PKSPIN pub = pin->Public();
    ULONG expected = pub->StreamHeaderSize != 0 ? pub->StreamHeaderSize : sizeof(KSSTREAM_HEADER);
    if (header->Size != expected) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (header->FrameExtent != 0 && header->Data == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pub->DataFlow == KSPIN_DATAFLOW_IN && header->DataUsed > header->FrameExtent) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG flags = PinFlags(pin);
    std::lock_guard<std::mutex> lock(pin->queueLock);
    if (pin->streamClosed) {
        return STATUS_DEVICE_REMOVED;
    }
    if (!pin->acceptingFrames) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    bool wasEmpty = pin->queue.empty();
    pin->queue.push_back({CopyBytes(header, expected), expected, STATUS_SUCCESS});
    if ((flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) == 0 &&
        (wasEmpty || (flags & KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL))) {
        RequestProcessing(pin);
    }
    return STATUS_SUCCESS;
}

NTSTATUS WaitFrame(Pin* pin, std::chrono::milliseconds timeout, CompletedFrameRecord* out) {
    std::unique_lock<std::mutex> lock(pin->queueLock);
    pin->completion.wait_for(lock, timeout,
                             [&] { return !pin->completed.empty() || pin->streamClosed; });
    if (!pin->completed.empty()) {
        *out = std::move(pin->completed.front());
        pin->completed.pop_front();
        return STATUS_SUCCESS;
    }
    return pin->streamClosed ? STATUS_CANCELLED : STATUS_TIMEOUT;
}

std::size_t CompletedCount(Pin* pin) {
    std::lock_guard<std::mutex> lock(pin->queueLock);
    return pin->completed.size();
}

void AssignClock(Pin* pin, bool assign) {
    std::lock_guard<std::mutex> lock(pin->queueLock);
    pin->clockAssigned = assign;
}

} // namespace ks

// ---------------------------------------------------------------------------
// Exported class calls

using namespace ks;

EXTERN_C void NTAPI KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous) {
    // Only schedules: callers may hold spin locks at DISPATCH_LEVEL.
    bool known = WithLivePin(Pin, [](ks::Pin* pin) {
        std::lock_guard<std::mutex> lock(pin->queueLock);
        RequestProcessing(pin);
    });
    if (!known) {
        host::ReportViolation(host::Rule::InvalidParameter, "KsPinAttemptProcessing: not a pin");
    }
}

EXTERN_C PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin,
                                                                  KSSTREAM_POINTER_STATE State) {
    ks::Pin* pin = PinFromPublic(Pin);
    if (pin == nullptr) {
        host::ReportViolation(host::Rule::InvalidParameter,
                              "KsPinGetLeadingEdgeStreamPointer: not a pin");
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(pin->queueLock);
    if (pin->queue.empty()) {
        return nullptr;
    }
    QueuedFrame& front = pin->queue.front();
    auto* header = reinterpret_cast<PKSSTREAM_HEADER>(front.header.data());
    KSSTREAM_POINTER& sp = pin->leading;
    if (!pin->leadingLocked || sp.StreamHeader != header) {
        sp = {};
        sp.Pin = Pin;
        sp.StreamHeader = header;
        KSSTREAM_POINTER_OFFSET& offset =
            Pin->DataFlow == KSPIN_DATAFLOW_OUT ? sp.OffsetOut : sp.OffsetIn;
        offset.Data = static_cast<PUCHAR>(header->Data);
        offset.Count = Pin->DataFlow == KSPIN_DATAFLOW_OUT ? header->FrameExtent : header->DataUsed;
        offset.Remaining = offset.Count;
        sp.Offset = &offset;
        pin->leadingStatus = STATUS_SUCCESS;
    }
    pin->leadingLocked = State == KSSTREAM_POINTER_STATE_LOCKED;
    return &sp;
}

static ks::Pin* PinOfPointer(PKSSTREAM_POINTER StreamPointer, const char* call) {
    ks::Pin* pin = StreamPointer != nullptr ? PinFromPublic(StreamPointer->Pin) : nullptr;
    if (pin == nullptr || StreamPointer != &pin->leading) {
        host::ReportViolation(host::Rule::InvalidParameter,
                              std::string(call) + ": not a stream pointer of a pin");
        return nullptr;
    }
    return pin;
}

EXTERN_C NTSTATUS NTAPI KsStreamPointerLock(PKSSTREAM_POINTER StreamPointer) {
    ks::Pin* pin = PinOfPointer(StreamPointer, "KsStreamPointerLock");
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(pin->queueLock);
    if (pin->queue.empty()) {
        return STATUS_DEVICE_NOT_READY;
    }
    pin->leadingLocked = true;
    return STATUS_SUCCESS;
}

static void UnlockLocked(ks::Pin* pin, bool eject) {
    if (pin->queue.empty()) {
        pin->leadingLocked = false;
        return;
    }
    if (eject) {
        QueuedFrame& front = pin->queue.front();
        pin->completed.push_back({std::move(front.header), front.headerSize, pin->leadingStatus});
        pin->queue.pop_front();
        ++pin->ejected;
        pin->leading = {};
        pin->completion.notify_all();
    }
    pin->leadingLocked = false;
}

EXTERN_C void NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {
    ks::Pin* pin = PinOfPointer(StreamPointer, "KsStreamPointerUnlock");
    if (pin == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(pin->queueLock);
    UnlockLocked(pin, Eject != FALSE);
}

EXTERN_C void NTAPI KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER StreamPointer,
                                                           ULONG InUsed, ULONG OutUsed,
                                                           BOOLEAN Eject) {
    ks::Pin* pin = PinOfPointer(StreamPointer, "KsStreamPointerAdvanceOffsetsAndUnlock");
    if (pin == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(pin->queueLock);
    if (pin->queue.empty()) {
        pin->leadingLocked = false;
        return;
    }
    bool out = StreamPointer->Pin->DataFlow == KSPIN_DATAFLOW_OUT;
    ULONG used = out ? OutUsed : InUsed;
    KSSTREAM_POINTER_OFFSET& offset = out ? StreamPointer->OffsetOut : StreamPointer->OffsetIn;
    if (used > offset.Remaining) {
        host::ReportViolation(host::Rule::InvalidParameter,
                              "KsStreamPointerAdvanceOffsetsAndUnlock: advance past the frame");
        used = offset.Remaining;
    }
    offset.Data += used;
    offset.Remaining -= used;
    if (out) {
        StreamPointer->StreamHeader->DataUsed += used;
    }
    UnlockLocked(pin, Eject != FALSE || offset.Remaining == 0);
}

EXTERN_C NTSTATUS NTAPI KsStreamPointerSetStatusCode(PKSSTREAM_POINTER StreamPointer,
                                                     NTSTATUS Status) {
    ks::Pin* pin = PinOfPointer(StreamPointer, "KsStreamPointerSetStatusCode");
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(pin->queueLock);
    pin->leadingStatus = Status;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
    ks::Pin* pin = PinFromPublic(Pin);
    if (pin == nullptr || Interface == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Interface = nullptr;
    {
        std::lock_guard<std::mutex> lock(pin->queueLock);
        if (!pin->clockAssigned) {
            return STATUS_DEVICE_NOT_READY;
        }
    }
    *Interface = new ReferenceClock;
    return STATUS_SUCCESS;
}
