// The simulated USB bus: URB routing to a device model, pending transfers,
// their cancellation and their completion on the bus's own threads.
//
// Locking: one mutex guards the bus state. It is never held while the device
// model runs, while an IRP is completed, or while the cancel spin lock is
// waited for, so completion routines may submit again at once and a model may
// call back into the port. Cancellation follows the usual protocol: whoever
// clears an IRP's cancel routine owns the IRP; when the dequeuer finds it
// already cleared, the cancel routine owns it and will complete it.
#include <host/usb_bus.h>

#include <host/driver_time.h>
#include <host/kernel.h>
#include <usbdlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace host::usb {

namespace {

constexpr size_t kMaxPipes = 16;

struct Pipe {
    bool configured = false;
    uint8_t endpoint = 0;
    bool in = false;
    std::deque<PIRP> waiting; // IN transfers waiting for data, oldest first
    std::vector<PIRP> hung;   // transfers the device does not end
    uint32_t inFlight = 0;    // taken off the lists, not yet completed
    bool completing = false;  // a completion of this pipe is running
    uint64_t abortEpoch = 0;
    std::vector<PIRP> abortWaiters; // ABORT_PIPE requests waiting for inFlight to drain
};

struct Completion {
    PIRP irp;
    Pipe* pipe;
};

NTSTATUS NtStatusOf(USBD_STATUS s) {
    if (USBD_SUCCESS(s))
        return STATUS_SUCCESS;
    switch (s) {
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NOT_SUPPORTED:
        return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_TIMEOUT:
        return STATUS_IO_TIMEOUT;
    case USBD_STATUS_NO_MEMORY:
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

void* BufferOf(PVOID buffer, PMDL mdl) {
    if (buffer)
        return buffer;
    return mdl ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : nullptr;
}

// Sets the URB's and the IRP's status together, the way the stack reports.
void SetResult(PIRP irp, USBD_STATUS usbd) {
    auto* urb = URB_FROM_IRP(irp);
    urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = NtStatusOf(usbd);
    irp->IoStatus.Information = 0;
}

// Bulk and vendor URBs keep TransferBufferLength at the same offset; a
// transfer that ends without moving data reports 0 in either.
void ClearLength(PIRP irp) {
    static_assert(FIELD_OFFSET(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) ==
                  FIELD_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength));
    URB_FROM_IRP(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
}

// At full speed a bulk endpoint moves at most 64 bytes per packet.
void LimitToFullSpeed(std::vector<uint8_t>& config) {
    size_t p = 0;
    while (p + 2 <= config.size() && config[p] >= 2 && p + config[p] <= config.size()) {
        if (config[p + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
            config[p] >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
            (config[p + 3] & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK) {
            const unsigned size = config[p + 4] | config[p + 5] << 8;
            if (size > 64) {
                config[p + 4] = 64;
                config[p + 5] = 0;
            }
        }
        p += config[p];
    }
}

} // namespace

struct Bus::State final : Port {
    std::shared_ptr<DeviceModel> device;
    BusOptions options;
    std::shared_ptr<HostController> controller; // the bandwidth this bus shares
    Speed speed = Speed::High;
    PDEVICE_OBJECT pdo = nullptr;

    mutable std::mutex m;
    // Held across a power change of the port (suspend, resume, unplug,
    // replug) and the model's call for it, so the model hears of them in the
    // order they happened; taken before `m`, never while the model runs
    // anything else of the bus.
    std::mutex powerLock;
    std::condition_variable pumpCv;
    std::condition_variable completionCv;
    mutable std::condition_variable pendingCv;
    bool connected = true;
    bool enabled = true;
    bool suspended = false; // the port moves no data (see the header)
    bool stopping = false;
    bool unplugRequested = false;
    uint64_t generation = 0; // bumped by every unplug
    uint64_t kick = 1;       // bumped when IN data may be ready
    uint64_t kickServed = 0; // the kick the last empty-handed attempt saw
    std::array<Pipe, kMaxPipes> pipes;
    Pipe control; // the default pipe, for control transfers the device leaves hanging
    uint8_t configurationValue = 0;
    std::array<uint8_t, 8> interfaceHandles{};
    uint8_t configurationHandle = 0;
    std::deque<Completion> completions;
    uint32_t activeCompletions = 0;
    BusCounters counters;
    std::thread pump;
    std::thread completers[2];

    // Port
    void InDataReady() override {
        std::lock_guard lk(m);
        ++kick;
        pumpCv.notify_one();
    }
    void RequestUnplug() override {
        std::lock_guard lk(m);
        unplugRequested = true;
        pumpCv.notify_one();
    }

    uint32_t PendingLocked() const {
        uint32_t n = uint32_t(control.hung.size() + control.inFlight);
        for (const Pipe& p : pipes)
            n += uint32_t(p.waiting.size() + p.hung.size() + p.inFlight);
        return n;
    }

    Pipe* LookupPipe(USBD_PIPE_HANDLE handle) {
        for (Pipe& p : pipes)
            if (&p == handle)
                return p.configured ? &p : nullptr;
        return nullptr;
    }

    // Puts a transfer on a pipe's list with the cancel routine set; false
    // when it was cancelled meanwhile and now belongs to the caller again.
    bool Park(Pipe& p, PIRP irp, bool hang, bool front);
    // A transfer checked against the device before the lock was last taken
    // may meet an unplug that has flushed the pipes meanwhile: parked now, it
    // would pend for ever, so it ends as the flushed ones did.
    bool ParkingTooLate(const Pipe* p) const { return !connected || !p->configured; }
    void QueueCompletion(PIRP irp, Pipe* pipe) {
        if (pipe)
            ++pipe->inFlight;
        completions.push_back({irp, pipe});
        completionCv.notify_all();
    }
    // Takes every parked transfer of `p` off its lists and queues it to
    // complete with `status`.
    void FlushPipe(Pipe& p, USBD_STATUS status, uint64_t& counter);
    void FlushAll(USBD_STATUS status, uint64_t& counter) {
        for (Pipe& p : pipes)
            FlushPipe(p, status, counter);
        FlushPipe(control, status, counter);
    }
    void TakeAbortWaiters(Pipe& p, std::vector<PIRP>& out) {
        if (p.inFlight == 0 && !p.abortWaiters.empty()) {
            out.insert(out.end(), p.abortWaiters.begin(), p.abortWaiters.end());
            p.abortWaiters.clear();
        }
    }

    void PumpLoop();
    void CompletionLoop();
    void DoUnplug();
    void SetSuspended(bool suspend);

    NTSTATUS Finish(PIRP irp, USBD_STATUS usbd);
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS GetDescriptor(PIRP irp, PURB urb);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    NTSTATUS VendorRequest(PIRP irp, PURB urb);
    NTSTATUS BulkTransfer(PIRP irp, PURB urb);
    NTSTATUS AbortPipe(PIRP irp, PURB urb);
    NTSTATUS ResetPipe(PIRP irp, PURB urb);
    NTSTATUS PortStatus(PIRP irp);
    NTSTATUS ResetPort(PIRP irp);
};

namespace {

Bus::State* StateOf(PDEVICE_OBJECT device) {
    return *static_cast<Bus::State**>(device->DeviceExtension);
}

// Runs in IoCancelIrp's context with the cancel spin lock held.
VOID CancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Bus::State* s = StateOf(device);
    auto* pipe = static_cast<Pipe*>(irp->Tail.Overlay.DriverContext[0]);
    {
        std::lock_guard lk(s->m);
        auto& w = pipe->waiting;
        w.erase(std::remove(w.begin(), w.end(), irp), w.end());
        auto& h = pipe->hung;
        h.erase(std::remove(h.begin(), h.end(), irp), h.end());
        ++s->counters.cancelled;
        s->pendingCv.notify_all();
    }
    SetResult(irp, USBD_STATUS_CANCELED);
    ClearLength(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

bool CancelRequested(PIRP irp) {
    return __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) != FALSE;
}

} // namespace

bool Bus::State::Park(Pipe& p, PIRP irp, bool hang, bool front) {
    irp->Tail.Overlay.DriverContext[0] = &p;
    if (hang)
        p.hung.push_back(irp);
    else if (front)
        p.waiting.push_front(irp);
    else
        p.waiting.push_back(irp);
    IoSetCancelRoutine(irp, CancelTransfer);
    if (CancelRequested(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        if (hang)
            p.hung.pop_back();
        else if (front)
            p.waiting.pop_front();
        else
            p.waiting.pop_back();
        return false;
    }
    pendingCv.notify_all();
    return true;
}

void Bus::State::FlushPipe(Pipe& p, USBD_STATUS status, uint64_t& counter) {
    std::vector<PIRP> taken(p.waiting.begin(), p.waiting.end());
    taken.insert(taken.end(), p.hung.begin(), p.hung.end());
    p.waiting.clear();
    p.hung.clear();
    for (PIRP irp : taken) {
        // A cleared routine means IoCancelIrp got there first: its cancel
        // routine completes the IRP.
        if (IoSetCancelRoutine(irp, nullptr) == nullptr)
            continue;
        SetResult(irp, status);
        ClearLength(irp);
        ++counter;
        QueueCompletion(irp, &p);
    }
}

void Bus::State::PumpLoop() {
    std::unique_lock lk(m);
    size_t next = 0;
    for (;;) {
        auto anyWaiting = [&] {
            for (const Pipe& p : pipes)
                if (!p.waiting.empty())
                    return true;
            return false;
        };
        pumpCv.wait(lk, [&] {
            return stopping || unplugRequested ||
                   (connected && enabled && !suspended && kick != kickServed && anyWaiting());
        });
        if (stopping)
            return;
        if (unplugRequested) {
            unplugRequested = false;
            lk.unlock();
            DoUnplug();
            lk.lock();
            continue;
        }
        Pipe* p = nullptr;
        for (size_t i = 0; i < kMaxPipes && !p; ++i) {
            Pipe& candidate = pipes[(next + i) % kMaxPipes];
            if (!candidate.waiting.empty()) {
                p = &candidate;
                next = (next + i + 1) % kMaxPipes;
            }
        }
        PIRP irp = p->waiting.front();
        p->waiting.pop_front();
        if (IoSetCancelRoutine(irp, nullptr) == nullptr)
            continue; // being cancelled; the cancel routine completes it
        ++p->inFlight;
        const uint64_t kickBefore = kick;
        const uint64_t epoch = p->abortEpoch;
        const uint64_t gen = generation;
        const uint8_t endpoint = p->endpoint;
        lk.unlock();

        auto& bulk = URB_FROM_IRP(irp)->UrbBulkOrInterruptTransfer;
        auto* buffer = static_cast<uint8_t*>(BufferOf(bulk.TransferBuffer, bulk.TransferBufferMDL));
        TransferResult r = device->BulkIn(endpoint, buffer, bulk.TransferBufferLength);
        if (r.kind == TransferResult::Kind::Done && r.bytes > bulk.TransferBufferLength)
            r.bytes = bulk.TransferBufferLength; // a model cannot move more than was asked for
        // The data crosses the bus in the controller's schedule; the transfer
        // ends when its last byte has. Meanwhile this bus moves nothing else,
        // as one port's pipe does.
        if (r.kind == TransferResult::Kind::Done && USBD_SUCCESS(r.status) && r.bytes)
            std::this_thread::sleep_until(controller->Carry(r.bytes));

        lk.lock();
        const bool gone = generation != gen || !connected;
        const bool aborted = p->abortEpoch != epoch;
        --p->inFlight;
        if (r.kind == TransferResult::Kind::Done) {
            if (gone) {
                SetResult(irp, USBD_STATUS_DEVICE_GONE);
                bulk.TransferBufferLength = 0;
            } else {
                SetResult(irp, r.status);
                bulk.TransferBufferLength = USBD_SUCCESS(r.status) ? r.bytes : 0;
                counters.bytesIn += bulk.TransferBufferLength;
            }
            QueueCompletion(irp, p);
            continue;
        }
        if (gone || aborted) {
            SetResult(irp, gone ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED);
            bulk.TransferBufferLength = 0;
            ++counters.aborted;
            QueueCompletion(irp, p);
            continue;
        }
        if (r.kind == TransferResult::Kind::Nak && kick == kickBefore)
            kickServed = kick;
        if (!Park(*p, irp, r.kind == TransferResult::Kind::Hang, true)) {
            SetResult(irp, USBD_STATUS_CANCELED);
            bulk.TransferBufferLength = 0;
            ++counters.cancelled;
            QueueCompletion(irp, p);
        }
        std::vector<PIRP> waiters;
        TakeAbortWaiters(*p, waiters);
        if (!waiters.empty()) {
            lk.unlock();
            host::DriverTimeScope timed;
            for (PIRP w : waiters)
                Finish(w, USBD_STATUS_SUCCESS);
            lk.lock();
        }
    }
}

void Bus::State::CompletionLoop() {
    std::unique_lock lk(m);
    for (;;) {
        auto ready = [&] {
            return std::find_if(completions.begin(), completions.end(), [&](const Completion& c) {
                return !options.orderedPipes || !c.pipe || !c.pipe->completing;
            });
        };
        completionCv.wait(
            lk, [&] { return (stopping && completions.empty()) || ready() != completions.end(); });
        if (completions.empty())
            return;
        auto it = ready();
        const Completion c = *it;
        completions.erase(it);
        if (c.pipe)
            c.pipe->completing = true;
        counters.maxConcurrentCompletions =
            std::max(counters.maxConcurrentCompletions, ++activeCompletions);
        lk.unlock();

        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        {
            host::DriverTimeScope timed;
            IoCompleteRequest(c.irp, IO_NO_INCREMENT);
        }
        KeLowerIrql(old);

        lk.lock();
        --activeCompletions;
        ++counters.completedByBus;
        std::vector<PIRP> waiters;
        if (c.pipe) {
            c.pipe->completing = false;
            --c.pipe->inFlight;
            TakeAbortWaiters(*c.pipe, waiters);
        }
        completionCv.notify_all();
        pendingCv.notify_all();
        if (!waiters.empty()) {
            lk.unlock();
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            host::DriverTimeScope timed;
            for (PIRP w : waiters) {
                SetResult(w, USBD_STATUS_SUCCESS);
                IoCompleteRequest(w, IO_NO_INCREMENT);
            }
            KeLowerIrql(old);
            lk.lock();
        }
    }
}

// The model hears of the change outside the lock, and only of a change.
void Bus::State::SetSuspended(bool suspend) {
    std::lock_guard power(powerLock);
    {
        std::lock_guard lk(m);
        if (!connected || suspended == suspend)
            return;
        suspended = suspend;
        ++(suspend ? counters.suspends : counters.resumes);
        ++kick;
        pumpCv.notify_all();
    }
    if (suspend)
        device->Suspend();
    else
        device->Resume();
}

void Bus::State::DoUnplug() {
    std::lock_guard power(powerLock);
    {
        std::lock_guard lk(m);
        if (!connected)
            return;
        connected = false;
        suspended = false;
        ++generation;
        ++counters.unplugs;
        FlushAll(USBD_STATUS_DEVICE_GONE, counters.aborted);
        for (Pipe& p : pipes)
            p.configured = false;
        configurationValue = 0;
        pumpCv.notify_all();
    }
    device->Detach();
}

NTSTATUS Bus::State::Finish(PIRP irp, USBD_STATUS usbd) {
    SetResult(irp, usbd);
    const NTSTATUS status = irp->IoStatus.Status;
    {
        std::lock_guard lk(m);
        ++counters.completedAtOnce;
        if (usbd == USBD_STATUS_INVALID_URB_FUNCTION || usbd == USBD_STATUS_INVALID_PARAMETER ||
            usbd == USBD_STATUS_INVALID_PIPE_HANDLE || usbd == USBD_STATUS_BUFFER_TOO_SMALL)
            ++counters.refused;
        if (usbd == USBD_STATUS_DEVICE_GONE)
            ++counters.notConnected;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Bus::State::GetDescriptor(PIRP irp, PURB urb) {
    auto& d = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
        return Finish(irp, USBD_STATUS_INVALID_PARAMETER);
    auto* buffer = static_cast<uint8_t*>(BufferOf(d.TransferBuffer, d.TransferBufferMDL));
    if (d.TransferBufferLength && !buffer)
        return Finish(irp, USBD_STATUS_INVALID_PARAMETER);
    std::vector<uint8_t> bytes = device->Descriptor(d.DescriptorType, d.Index, d.LanguageId, speed);
    if (bytes.empty()) {
        d.TransferBufferLength = 0;
        return Finish(irp, USBD_STATUS_STALL_PID);
    }
    if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && speed == Speed::Full)
        LimitToFullSpeed(bytes);
    const ULONG n = std::min<ULONG>(d.TransferBufferLength, ULONG(bytes.size()));
    if (n)
        std::memcpy(buffer, bytes.data(), n);
    d.TransferBufferLength = n;
    return Finish(irp, USBD_STATUS_SUCCESS);
}

NTSTATUS Bus::State::SelectConfiguration(PIRP irp, PURB urb) {
    auto& sel = urb->UrbSelectConfiguration;
    const size_t fixed = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    if (urb->UrbHeader.Length < fixed)
        return Finish(irp, USBD_STATUS_INVALID_PARAMETER);

    if (!sel.ConfigurationDescriptor) {
        {
            std::lock_guard lk(m);
            for (Pipe& p : pipes) {
                ++p.abortEpoch;
                FlushPipe(p, USBD_STATUS_CANCELED, counters.aborted);
                p.configured = false;
            }
            configurationValue = 0;
        }
        device->Configured(0);
        return Finish(irp, USBD_STATUS_SUCCESS);
    }

    std::vector<uint8_t> config =
        device->Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, speed);
    if (config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return Finish(irp, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    if (speed == Speed::Full)
        LimitToFullSpeed(config);
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    cd->wTotalLength = USHORT(std::min<size_t>(cd->wTotalLength, config.size()));
    if (sel.ConfigurationDescriptor->bConfigurationValue != cd->bConfigurationValue)
        return Finish(irp, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

    // Fill the caller's records from the device's own descriptor: the pipes
    // are what the hardware has, whatever the caller's copy claims.
    struct NewPipe {
        uint8_t endpoint;
        bool in;
    };
    std::vector<NewPipe> newPipes;
    size_t offset = fixed;
    const size_t urbLength = urb->UrbHeader.Length;
    for (UCHAR i = 0; i < cd->bNumInterfaces; ++i) {
        if (offset + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) > urbLength)
            return Finish(irp, USBD_STATUS_BUFFER_TOO_SMALL);
        auto* info =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(urb) + offset);
        PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(
            cd, cd, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (!id)
            return Finish(irp, USBD_STATUS_INTERFACE_NOT_FOUND);
        const UCHAR endpoints = id->bNumEndpoints;
        if (info->Length < GET_USBD_INTERFACE_SIZE(endpoints) || offset + info->Length > urbLength)
            return Finish(irp, USBD_STATUS_BUFFER_TOO_SMALL);
        if (newPipes.size() + endpoints > kMaxPipes)
            return Finish(irp, USBD_STATUS_INSUFFICIENT_RESOURCES);
        info->Class = id->bInterfaceClass;
        info->SubClass = id->bInterfaceSubClass;
        info->Protocol = id->bInterfaceProtocol;
        info->InterfaceHandle = &interfaceHandles[i % interfaceHandles.size()];
        info->NumberOfPipes = endpoints;
        auto* p = reinterpret_cast<UCHAR*>(id) + id->bLength;
        for (UCHAR k = 0; k < endpoints; ++k) {
            auto* ed = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
                USBD_ParseDescriptors(cd, cd->wTotalLength, p, USB_ENDPOINT_DESCRIPTOR_TYPE));
            if (!ed || ed->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR))
                return Finish(irp, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
            USBD_PIPE_INFORMATION& pi = info->Pipes[k];
            pi.MaximumPacketSize = ed->wMaxPacketSize;
            pi.EndpointAddress = ed->bEndpointAddress;
            pi.Interval = ed->bInterval;
            pi.PipeType = USBD_PIPE_TYPE(ed->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pi.PipeHandle = &pipes[newPipes.size()];
            newPipes.push_back(
                {ed->bEndpointAddress, (ed->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0});
            p = reinterpret_cast<UCHAR*>(ed) + ed->bLength;
        }
        offset += info->Length;
    }
    sel.ConfigurationHandle = &configurationHandle;
    {
        std::lock_guard lk(m);
        for (size_t i = 0; i < kMaxPipes; ++i) {
            Pipe& p = pipes[i];
            ++p.abortEpoch;
            FlushPipe(p, USBD_STATUS_CANCELED, counters.aborted);
            p.configured = i < newPipes.size();
            if (p.configured) {
                p.endpoint = newPipes[i].endpoint;
                p.in = newPipes[i].in;
            }
        }
        configurationValue = cd->bConfigurationValue;
    }
    device->Configured(cd->bConfigurationValue);
    return Finish(irp, USBD_STATUS_SUCCESS);
}

NTSTATUS Bus::State::VendorRequest(PIRP irp, PURB urb) {
    auto& v = urb->UrbControlVendorClassRequest;
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) ||
        v.TransferBufferLength > 0xFFFF)
        return Finish(irp, USBD_STATUS_INVALID_PARAMETER);
    auto* buffer = static_cast<uint8_t*>(BufferOf(v.TransferBuffer, v.TransferBufferMDL));
    if (v.TransferBufferLength && !buffer)
        return Finish(irp, USBD_STATUS_INVALID_PARAMETER);
    const bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    uint8_t recipient = BMREQUEST_TO_DEVICE;
    if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_INTERFACE)
        recipient = BMREQUEST_TO_INTERFACE;
    else if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_ENDPOINT)
        recipient = BMREQUEST_TO_ENDPOINT;
    SetupPacket setup;
    setup.requestType =
        uint8_t((in ? 0x80 : 0) | BMREQUEST_VENDOR << 5 | recipient | v.RequestTypeReservedBits);
    setup.request = v.Request;
    setup.value = v.Value;
    setup.index = v.Index;
    setup.length = uint16_t(v.TransferBufferLength);
    TransferResult r = device->Control(setup, buffer);
    if (r.kind != TransferResult::Kind::Done) {
        IoMarkIrpPending(irp);
        std::lock_guard lk(m);
        if (!Park(control, irp, true, false)) {
            SetResult(irp, USBD_STATUS_CANCELED);
            ClearLength(irp);
            ++counters.cancelled;
            QueueCompletion(irp, &control);
        }
        return STATUS_PENDING;
    }
    v.TransferBufferLength = USBD_SUCCESS(r.status) ? std::min<ULONG>(r.bytes, setup.length) : 0;
    {
        std::lock_guard lk(m);
        (in ? counters.bytesIn : counters.bytesOut) += v.TransferBufferLength;
    }
    return Finish(irp, r.status);
}

NTSTATUS Bus::State::BulkTransfer(PIRP irp, PURB urb) {
    auto& b = urb->UrbBulkOrInterruptTransfer;
    if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
        return Finish(irp, USBD_STATUS_INVALID_PARAMETER);
    Pipe* p;
    {
        std::lock_guard lk(m);
        p = LookupPipe(b.PipeHandle);
    }
    if (!p)
        return Finish(irp, USBD_STATUS_INVALID_PIPE_HANDLE);
    auto* buffer = static_cast<uint8_t*>(BufferOf(b.TransferBuffer, b.TransferBufferMDL));
    if (b.TransferBufferLength && !buffer)
        return Finish(irp, USBD_STATUS_INVALID_PARAMETER);
    // The pipe's endpoint decides the direction, as the host controller
    // does; the flag follows it.
    b.TransferFlags = (b.TransferFlags & ~ULONG(USBD_TRANSFER_DIRECTION_IN)) |
                      (p->in ? USBD_TRANSFER_DIRECTION_IN : 0);
    if (p->in) {
        // IN transfers always pend: completing one inline would let a driver
        // that resubmits from its completion routine recurse without end.
        IoMarkIrpPending(irp);
        std::lock_guard lk(m);
        ++kick;
        if (ParkingTooLate(p)) {
            SetResult(irp, USBD_STATUS_DEVICE_GONE);
            b.TransferBufferLength = 0;
            QueueCompletion(irp, p);
        } else if (!Park(*p, irp, false, false)) {
            SetResult(irp, USBD_STATUS_CANCELED);
            b.TransferBufferLength = 0;
            ++counters.cancelled;
            QueueCompletion(irp, p);
        }
        pumpCv.notify_one();
        return STATUS_PENDING;
    }
    bool asleep;
    {
        std::lock_guard lk(m);
        asleep = suspended;
    }
    if (asleep)
        return Finish(irp, USBD_STATUS_DEV_NOT_RESPONDING);
    TransferResult r = device->BulkOut(p->endpoint, buffer, b.TransferBufferLength);
    // OUT data takes its share of the bus too; the caller is not held up
    // (commands are small), the IN transfers behind it are.
    if (r.kind == TransferResult::Kind::Done && USBD_SUCCESS(r.status))
        controller->Carry(std::min<ULONG>(r.bytes, b.TransferBufferLength));
    if (r.kind != TransferResult::Kind::Done) {
        IoMarkIrpPending(irp);
        std::lock_guard lk(m);
        if (ParkingTooLate(p)) {
            SetResult(irp, USBD_STATUS_DEVICE_GONE);
            ClearLength(irp);
            QueueCompletion(irp, p);
        } else if (!Park(*p, irp, true, false)) {
            SetResult(irp, USBD_STATUS_CANCELED);
            ClearLength(irp);
            ++counters.cancelled;
            QueueCompletion(irp, p);
        }
        return STATUS_PENDING;
    }
    b.TransferBufferLength =
        USBD_SUCCESS(r.status) ? std::min<ULONG>(r.bytes, b.TransferBufferLength) : 0;
    {
        std::lock_guard lk(m);
        counters.bytesOut += b.TransferBufferLength;
    }
    return Finish(irp, r.status);
}

NTSTATUS Bus::State::AbortPipe(PIRP irp, PURB urb) {
    // Header and handle are enough: old clients send the request 4 bytes short.
    if (urb->UrbHeader.Length < FIELD_OFFSET(struct _URB_PIPE_REQUEST, Reserved))
        return Finish(irp, USBD_STATUS_INVALID_PARAMETER);
    std::unique_lock lk(m);
    ++counters.abortRequests;
    Pipe* p = LookupPipe(urb->UrbPipeRequest.PipeHandle);
    if (!p) {
        lk.unlock();
        return Finish(irp, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    ++p->abortEpoch;
    FlushPipe(*p, USBD_STATUS_CANCELED, counters.aborted);
    if (p->inFlight == 0) {
        lk.unlock();
        return Finish(irp, USBD_STATUS_SUCCESS);
    }
    // The abort ends when the last transfer of the pipe has completed.
    IoMarkIrpPending(irp);
    p->abortWaiters.push_back(irp);
    return STATUS_PENDING;
}

NTSTATUS Bus::State::ResetPipe(PIRP irp, PURB urb) {
    if (urb->UrbHeader.Length < FIELD_OFFSET(struct _URB_PIPE_REQUEST, Reserved))
        return Finish(irp, USBD_STATUS_INVALID_PARAMETER);
    Pipe* p;
    {
        std::lock_guard lk(m);
        p = LookupPipe(urb->UrbPipeRequest.PipeHandle);
        if (p)
            ++counters.pipeResets;
    }
    if (!p)
        return Finish(irp, USBD_STATUS_INVALID_PIPE_HANDLE);
    device->PipeReset(p->endpoint);
    return Finish(irp, USBD_STATUS_SUCCESS);
}

NTSTATUS Bus::State::SubmitUrb(PIRP irp, PURB urb) {
    const USHORT function = urb->UrbHeader.Function;
    bool up, on;
    {
        std::lock_guard lk(m);
        if (function < counters.urbs.size())
            ++counters.urbs[function];
        up = connected;
        // Bulk IN transfers wait out a suspension on the pipe; the rest need
        // the port awake now (bulk OUT is refused where its direction is
        // known).
        on = enabled && (!suspended || function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    }
    if (!up)
        return Finish(irp, USBD_STATUS_DEVICE_GONE);
    const bool transfer =
        function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
        function == URB_FUNCTION_SELECT_CONFIGURATION || function == URB_FUNCTION_VENDOR_DEVICE ||
        function == URB_FUNCTION_VENDOR_INTERFACE || function == URB_FUNCTION_VENDOR_ENDPOINT ||
        function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    if (transfer && !on)
        return Finish(irp, USBD_STATUS_DEV_NOT_RESPONDING);
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(irp, urb);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
        return VendorRequest(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkTransfer(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
        return AbortPipe(irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return ResetPipe(irp, urb);
    default:
        return Finish(irp, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS Bus::State::PortStatus(PIRP irp) {
    auto* word =
        static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lk(m);
        ++counters.portStatusQueries;
        if (!word)
            status = STATUS_INVALID_PARAMETER;
        else if (!connected)
            status = STATUS_DEVICE_NOT_CONNECTED;
        else
            *word = USBD_PORT_CONNECTED | (enabled ? USBD_PORT_ENABLED : 0);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Bus::State::ResetPort(PIRP irp) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        host::ReportViolation(host::Rule::InvalidParameter,
                              "IOCTL_INTERNAL_USB_RESET_PORT sent above PASSIVE_LEVEL");
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lk(m);
        if (!connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else if (suspended) {
            status = STATUS_DEVICE_NOT_READY;
        } else {
            ++counters.portResets;
            enabled = true;
            pumpCv.notify_one();
        }
    }
    if (NT_SUCCESS(status))
        device->PortReset();
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

namespace {

NTSTATUS DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    Bus::State* s = StateOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        auto* urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
        if (!urb) {
            irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_INVALID_PARAMETER;
        }
        return s->SubmitUrb(irp, urb);
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        return s->PortStatus(irp);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return s->ResetPort(irp);
    default:
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// The PDO ends the PnP and power requests a function driver passes down, as
// a bus driver's PDO does; requests it does not know keep their status.
NTSTATUS DispatchPnp(PDEVICE_OBJECT, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_CAPABILITIES:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A device power state sent down to the PDO suspends or resumes the port.
NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = sp->MinorFunction;
    if (minor == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState) {
        const DEVICE_POWER_STATE state = sp->Parameters.Power.State.DeviceState;
        StateOf(device)->SetSuspended(state == PowerDeviceD2 || state == PowerDeviceD3);
    }
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)
        irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = irp->IoStatus.Status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchUnsupported(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT BusDriver() {
    static DRIVER_OBJECT driver;
    static DRIVER_EXTENSION extension;
    static std::once_flag once;
    std::call_once(once, [] {
        std::memset(&driver, 0, sizeof(driver));
        std::memset(&extension, 0, sizeof(extension));
        driver.Type = 4; // IO_TYPE_DRIVER
        driver.Size = sizeof(DRIVER_OBJECT);
        driver.DriverExtension = &extension;
        extension.DriverObject = &driver;
        for (auto& f : driver.MajorFunction)
            f = DispatchUnsupported;
        driver.MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
        driver.MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
        driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
        driver.MajorFunction[IRP_MJ_PNP] = DispatchPnp;
        driver.MajorFunction[IRP_MJ_POWER] = DispatchPower;
    });
    return &driver;
}

} // namespace

Bus::Bus(std::shared_ptr<DeviceModel> device, BusOptions options)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.device = std::move(device);
    s.options = options;
    s.controller = options.controller ? options.controller : std::make_shared<HostController>();
    s.speed = options.speed == Speed::Full || s.device->MaxSpeed() == Speed::Full ? Speed::Full
                                                                                  : Speed::High;
    NTSTATUS status =
        IoCreateDevice(BusDriver(), sizeof(State*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &s.pdo);
    if (!NT_SUCCESS(status))
        throw std::runtime_error("usb bus: cannot create the device object");
    *static_cast<State**>(s.pdo->DeviceExtension) = &s;
    s.pdo->StackSize = options.stackSize < 1 ? 1 : options.stackSize;
    s.pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    s.pump = std::thread([&s] { s.PumpLoop(); });
    for (auto& t : s.completers)
        t = std::thread([&s] { s.CompletionLoop(); });
    s.device->Attach(&s, s.speed);
}

Bus::~Bus() {
    State& s = *state_;
    s.DoUnplug();
    {
        std::lock_guard lk(s.m);
        s.stopping = true;
        s.pumpCv.notify_all();
        s.completionCv.notify_all();
    }
    s.pump.join();
    for (auto& t : s.completers)
        t.join();
    IoDeleteDevice(s.pdo);
}

PDEVICE_OBJECT Bus::Pdo() const {
    return state_->pdo;
}

DeviceModel& Bus::Device() const {
    return *state_->device;
}

void Bus::Unplug() {
    state_->DoUnplug();
}

void Bus::Replug() {
    State& s = *state_;
    std::lock_guard power(s.powerLock);
    {
        std::lock_guard lk(s.m);
        if (s.connected)
            return;
        s.connected = true;
        s.enabled = true;
        ++s.counters.replugs;
    }
    s.device->Attach(&s, s.speed);
}

bool Bus::Connected() const {
    std::lock_guard lk(state_->m);
    return state_->connected;
}

void Bus::SetPortEnabled(bool enabled) {
    State& s = *state_;
    std::lock_guard lk(s.m);
    if (s.enabled == enabled || !s.connected)
        return;
    s.enabled = enabled;
    if (!enabled)
        s.FlushAll(USBD_STATUS_DEV_NOT_RESPONDING, s.counters.aborted);
    s.pumpCv.notify_one();
}

void Bus::Suspend() {
    state_->SetSuspended(true);
}

void Bus::Resume() {
    state_->SetSuspended(false);
}

bool Bus::Suspended() const {
    std::lock_guard lk(state_->m);
    return state_->suspended;
}

bool Bus::PortEnabled() const {
    std::lock_guard lk(state_->m);
    return state_->connected && state_->enabled;
}

Speed Bus::CurrentSpeed() const {
    return state_->speed;
}

HostController& Bus::Controller() const {
    return *state_->controller;
}

BusCounters Bus::Counters() const {
    std::lock_guard lk(state_->m);
    BusCounters c = state_->counters;
    c.pendingNow = state_->PendingLocked();
    return c;
}

bool Bus::WaitForPending(uint32_t count, std::chrono::milliseconds bound) const {
    std::unique_lock lk(state_->m);
    return state_->pendingCv.wait_for(lk, bound, [&] { return state_->PendingLocked() >= count; });
}

bool Bus::WaitForIdle(std::chrono::milliseconds bound) const {
    std::unique_lock lk(state_->m);
    return state_->pendingCv.wait_for(lk, bound, [&] {
        return state_->PendingLocked() == 0 && state_->completions.empty() &&
               state_->activeCompletions == 0;
    });
}

} // namespace host::usb
