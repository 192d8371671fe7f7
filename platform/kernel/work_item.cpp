// Work items and the system worker queues.
//
// Each queue (critical, delayed) has worker threads that run items at passive
// level, one at a time per worker. A queue grows a worker whenever an item
// arrives and none is idle, up to a limit, because items may block (a
// recovery item waits on USB requests) and must not hold up the items queued
// behind them.
#include "kernel_internal.h"

#include <host/driver_time.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

struct _IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
    bool Queued;     // guarded by g_itemLock
    bool Referenced; // the device was referenced for the run
};

namespace {

constexpr std::size_t kMaxWorkersPerQueue = 16;

std::atomic<std::size_t> g_liveItems{0};

// Guards the fields of every work item. Taken before a queue's lock.
std::mutex g_itemLock;

std::string Describe(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

class WorkQueue {
public:
    explicit WorkQueue(const char* name) : name_(name) {}

    // Called with lock() held. Every queued item needs an idle worker of its
    // own: a worker woken for an earlier item still counts as idle until it
    // has taken the lock again, so counting idle workers alone would hand two
    // items queued back to back to one worker, and the second would wait for
    // the first however long it blocks.
    void PushLocked(PIO_WORKITEM item) {
        items_.push_back(item);
        if (items_.size() > idle_ && workers_ < kMaxWorkersPerQueue) {
            workers_++;
            std::thread([this] { Run(); }).detach();
        } else {
            ready_.notify_one();
        }
    }

    std::mutex& lock() { return lock_; }

private:
    void Run() {
        kernel::SetIrql(PASSIVE_LEVEL);
        std::unique_lock<std::mutex> lock(lock_);
        for (;;) {
            idle_++;
            ready_.wait(lock, [this] { return !items_.empty(); });
            idle_--;
            PIO_WORKITEM item = items_.front();
            items_.pop_front();
            lock.unlock();
            // Captured before the run: the routine may free or requeue it.
            PDEVICE_OBJECT device;
            PIO_WORKITEM_ROUTINE routine;
            PVOID context;
            bool referenced;
            {
                std::lock_guard<std::mutex> guard(g_itemLock);
                device = item->DeviceObject;
                routine = item->Routine;
                context = item->Context;
                referenced = item->Referenced;
                item->Queued = false;
            }

            {
                host::DriverTimeScope timed;
                routine(device, context);
            }
            KIRQL irql = KeGetCurrentIrql();
            if (irql != PASSIVE_LEVEL) {
                kernel::Violate(host::Rule::IrqlNotRestored,
                                std::string("work item routine on the ") + name_ +
                                    " queue returned at IRQL " + std::to_string(irql));
                kernel::SetIrql(PASSIVE_LEVEL);
            }
            if (referenced) {
                ObfDereferenceObject(device);
            }
            lock.lock();
        }
    }

    const char* name_;
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<PIO_WORKITEM> items_;
    std::size_t idle_ = 0;
    std::size_t workers_ = 0;
};

// Never destroyed: detached workers wait on them until the process ends.
WorkQueue& Critical() {
    static WorkQueue* queue = new WorkQueue("critical");
    return *queue;
}

WorkQueue& Delayed() {
    static WorkQueue* queue = new WorkQueue("delayed");
    return *queue;
}

WorkQueue& QueueFor(WORK_QUEUE_TYPE type) {
    switch (type) {
    case DelayedWorkQueue:
    case NormalWorkQueue:
    case BackgroundWorkQueue:
        return Delayed();
    default:
        return Critical();
    }
}

} // namespace

namespace host {

std::size_t LiveWorkItemCount() {
    return g_liveItems.load();
}

} // namespace host

EXTERN_C PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    if (DeviceObject == NULL) {
        kernel::Violate(host::Rule::InvalidParameter, "IoAllocateWorkItem without a device");
        return NULL;
    }
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IO_WORKITEM), kernel::kWorkItemTag);
    if (memory == NULL) {
        return NULL;
    }
    auto item = new (memory) IO_WORKITEM{DeviceObject, nullptr, nullptr, false, false};
    g_liveItems.fetch_add(1);
    return item;
}

EXTERN_C VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    bool queued;
    {
        std::lock_guard<std::mutex> guard(g_itemLock);
        queued = IoWorkItem->Queued;
    }
    if (queued) {
        kernel::Violate(host::Rule::WorkItemBusy,
                        "work item " + Describe(IoWorkItem) + " freed while it is queued");
        return; // it still runs; the owner may free it afterwards
    }
    IoWorkItem->~IO_WORKITEM();
    ExFreePoolWithTag(IoWorkItem, kernel::kWorkItemTag);
    g_liveItems.fetch_sub(1);
}

EXTERN_C VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                    WORK_QUEUE_TYPE QueueType, PVOID Context) {
    if (WorkerRoutine == NULL) {
        kernel::Violate(host::Rule::InvalidParameter, "IoQueueWorkItem without a routine");
        return;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        kernel::Violate(host::Rule::InvalidParameter,
                        "IoQueueWorkItem at IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    std::lock_guard<std::mutex> guard(g_itemLock);
    if (IoWorkItem->Queued) {
        kernel::Violate(host::Rule::WorkItemBusy,
                        "work item " + Describe(IoWorkItem) + " queued while it is queued");
        return;
    }
    // The device stays until the routine has run, as on Windows.
    IoWorkItem->Referenced = kernel::IsObject(IoWorkItem->DeviceObject);
    if (IoWorkItem->Referenced) {
        ObfReferenceObject(IoWorkItem->DeviceObject);
    }
    IoWorkItem->Routine = WorkerRoutine;
    IoWorkItem->Context = Context;
    IoWorkItem->Queued = true;
    WorkQueue& queue = QueueFor(QueueType);
    std::lock_guard<std::mutex> queueGuard(queue.lock());
    queue.PushLocked(IoWorkItem);
}
