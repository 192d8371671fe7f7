// The object table: reference counts of the objects Ob*ReferenceObject works
// on, and the thread handles PsCreateSystemThread hands out. Both are keyed
// by address; objects keep the layout their creator gave them.
#include "kernel_internal.h"

#include <cstdio>
#include <mutex>
#include <unordered_map>

struct _OBJECT_TYPE {
    const char* Name;
};

namespace {

_OBJECT_TYPE g_threadType{"Thread"};
_OBJECT_TYPE g_eventType{"Event"};
_OBJECT_TYPE g_fileType{"File"};
_OBJECT_TYPE g_deviceType{"Device"};
POBJECT_TYPE g_threadTypePtr = &g_threadType;
POBJECT_TYPE g_eventTypePtr = &g_eventType;
POBJECT_TYPE g_fileTypePtr = &g_fileType;
POBJECT_TYPE g_deviceTypePtr = &g_deviceType;

struct Entry {
    POBJECT_TYPE type;
    LONG_PTR references;
    void (*destroy)(void*);
};

std::mutex g_lock;
std::unordered_map<void*, Entry> g_objects;
std::unordered_map<HANDLE, void*> g_threadHandles;
std::atomic<ULONG_PTR> g_nextHandle{0};

std::string Describe(const void* object) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", object);
    return text;
}

} // namespace

POBJECT_TYPE* PsThreadType = &g_threadTypePtr;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePtr;
POBJECT_TYPE* IoFileObjectType = &g_fileTypePtr;
POBJECT_TYPE* IoDeviceObjectType = &g_deviceTypePtr;

namespace kernel {

POBJECT_TYPE ThreadObjectType() {
    return &g_threadType;
}

POBJECT_TYPE DeviceObjectType() {
    return &g_deviceType;
}

void InsertObject(void* object, POBJECT_TYPE type, void (*destroy)(void*)) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_objects[object] = Entry{type, 1, destroy};
}

bool IsObject(void* object) {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_objects.count(object) != 0;
}

HANDLE InsertThreadHandle(PKTHREAD thread) {
    HANDLE handle = host::detail::NewHandleValue();
    std::lock_guard<std::mutex> guard(g_lock);
    g_threadHandles[handle] = thread;
    return handle;
}

} // namespace kernel

namespace host {

void RegisterObject(void* object, POBJECT_TYPE type, void (*destroy)(void* object)) {
    kernel::InsertObject(object, type, destroy);
}

std::size_t OpenThreadHandleCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_threadHandles.size();
}

std::size_t LiveObjectCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_objects.size();
}

namespace detail {

HANDLE NewHandleValue() {
    ULONG_PTR n = g_nextHandle.fetch_add(1) + 1;
    return reinterpret_cast<HANDLE>(0xFFFFFFFF80000000ull + 4 * n);
}

bool CloseThreadHandle(HANDLE handle) {
    void* thread = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_threadHandles.find(handle);
        if (it == g_threadHandles.end()) {
            return false;
        }
        thread = it->second;
        g_threadHandles.erase(it);
    }
    ObfDereferenceObject(thread);
    return true;
}

} // namespace detail
} // namespace host

EXTERN_C LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    std::unique_lock<std::mutex> lock(g_lock);
    auto it = g_objects.find(Object);
    if (it == g_objects.end()) {
        lock.unlock();
        kernel::Violate(host::Rule::ObjectUnknown,
                        "ObReferenceObject on " + Describe(Object) + ", which is no object");
        return 0;
    }
    return ++it->second.references;
}

EXTERN_C LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    void (*destroy)(void*) = nullptr;
    LONG_PTR left = 0;
    {
        std::unique_lock<std::mutex> lock(g_lock);
        auto it = g_objects.find(Object);
        if (it == g_objects.end()) {
            lock.unlock();
            kernel::Violate(host::Rule::ObjectUnknown,
                            "ObDereferenceObject on " + Describe(Object) +
                                ", which is no object (or is already gone)");
            return 0;
        }
        left = --it->second.references;
        if (left == 0) {
            destroy = it->second.destroy;
            g_objects.erase(it);
        }
    }
    if (destroy != nullptr) {
        destroy(Object);
    }
    return left;
}

EXTERN_C NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess,
                                                   POBJECT_TYPE ObjectType,
                                                   KPROCESSOR_MODE AccessMode) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_objects.find(Object);
    if (it == g_objects.end()) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectType != NULL && ObjectType != it->second.type) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ++it->second.references;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                  POBJECT_TYPE ObjectType,
                                                  KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                  POBJECT_HANDLE_INFORMATION HandleInformation) {
    if (Object == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Object = NULL;
    std::lock_guard<std::mutex> guard(g_lock);
    auto handle = g_threadHandles.find(Handle);
    if (handle == g_threadHandles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    auto it = g_objects.find(handle->second);
    if (it == g_objects.end()) {
        return STATUS_INVALID_HANDLE;
    }
    if (ObjectType != NULL && ObjectType != it->second.type) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ++it->second.references;
    *Object = handle->second;
    if (HandleInformation != NULL) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = THREAD_ALL_ACCESS;
    }
    return STATUS_SUCCESS;
}
