// Remove locks. The count lives in the lock as on Windows (a bias of one
// that IoReleaseRemoveLockAndWait drops); beside it, the host remembers which
// tags hold the lock, so a release that matches no acquire is caught at once
// rather than when the count finally goes wrong.
#include "kernel_internal.h"

#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace {

std::mutex g_lock;
std::unordered_map<PIO_REMOVE_LOCK, std::unordered_multiset<PVOID>> g_holders;

std::string Describe(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

bool CheckSize(PIO_REMOVE_LOCK lock, ULONG size, const char* call) {
    if (size == sizeof(IO_REMOVE_LOCK)) {
        return true;
    }
    kernel::Violate(host::Rule::RemoveLockBadSize, std::string(call) + " on remove lock " +
                                                       Describe(lock) + " with size " +
                                                       std::to_string(size) + ", expected " +
                                                       std::to_string(sizeof(IO_REMOVE_LOCK)));
    return false;
}

// Takes one hold of the tag away; false when the tag holds nothing.
bool DropHolder(PIO_REMOVE_LOCK lock, PVOID tag) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_holders.find(lock);
    if (it == g_holders.end()) {
        return false;
    }
    auto holder = it->second.find(tag);
    if (holder == it->second.end()) {
        return false;
    }
    it->second.erase(holder);
    return true;
}

bool Removed(PIO_REMOVE_LOCK lock) {
    return __atomic_load_n(&lock->Common.Removed, __ATOMIC_SEQ_CST) != FALSE;
}

} // namespace

EXTERN_C VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag,
                                             ULONG MaxLockedMinutes, ULONG HighWatermark,
                                             ULONG RemlockSize) {
    if (!CheckSize(Lock, RemlockSize, "IoInitializeRemoveLockEx")) {
        return;
    }
    __atomic_store_n(&Lock->Common.Removed, (BOOLEAN)FALSE, __ATOMIC_SEQ_CST);
    Lock->Common.Reserved[0] = Lock->Common.Reserved[1] = Lock->Common.Reserved[2] = 0;
    __atomic_store_n(&Lock->Common.IoCount, 1, __ATOMIC_SEQ_CST);
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
    std::lock_guard<std::mutex> guard(g_lock);
    g_holders[Lock].clear();
}

EXTERN_C NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File,
                                              ULONG Line, ULONG RemlockSize) {
    if (!CheckSize(RemoveLock, RemlockSize, "IoAcquireRemoveLockEx")) {
        return STATUS_INVALID_PARAMETER;
    }
    // Record the holder first: a release racing this acquire must find it.
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_holders[RemoveLock].insert(Tag);
    }
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (!Removed(RemoveLock)) {
        return STATUS_SUCCESS;
    }
    DropHolder(RemoveLock, Tag);
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_DELETE_PENDING;
}

EXTERN_C VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                          ULONG RemlockSize) {
    if (!CheckSize(RemoveLock, RemlockSize, "IoReleaseRemoveLockEx")) {
        return;
    }
    if (!DropHolder(RemoveLock, Tag)) {
        kernel::Violate(host::Rule::RemoveLockUnderflow, "remove lock " + Describe(RemoveLock) +
                                                             " released with tag " + Describe(Tag) +
                                                             ", which does not hold it");
        return;
    }
    LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (count == 0) {
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

EXTERN_C VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                                 ULONG RemlockSize) {
    if (!CheckSize(RemoveLock, RemlockSize, "IoReleaseRemoveLockAndWaitEx")) {
        return;
    }
    if (Removed(RemoveLock) || !DropHolder(RemoveLock, Tag)) {
        kernel::Violate(
            host::Rule::RemoveLockUnderflow,
            "IoReleaseRemoveLockAndWait on remove lock " + Describe(RemoveLock) + " with tag " +
                Describe(Tag) +
                (Removed(RemoveLock) ? ", which was already removed" : ", which does not hold it"));
        return;
    }
    __atomic_store_n(&RemoveLock->Common.Removed, (BOOLEAN)TRUE, __ATOMIC_SEQ_CST);
    InterlockedDecrement(&RemoveLock->Common.IoCount);           // the caller's own hold
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0) { // the bias
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, NULL);
    }
    std::lock_guard<std::mutex> guard(g_lock);
    g_holders.erase(RemoveLock);
}
