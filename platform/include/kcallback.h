// The type of every routine pointer a driver hands the system: dispatch
// routines, completion and cancel routines, work items, thread start
// routines, streaming-class dispatch tables, automation handlers, registry
// query routines, object-bag free callbacks.
//
// A driver built here is called with the host's convention. A driver image
// loaded from a .sys file (platform/loader) expects the Microsoft x64
// convention, and so do the loader's own entry stubs, which an image may hand
// back as a callback. The choice is made per call from the target address:
// code inside the foreign code region, which the loader reserves once for
// images and stubs, is called with the Microsoft convention, anything else
// with the host's. No call site can forget it, since calling is the only way
// to use one of these.
//
// A KCallback is one pointer: trivially copyable, constant-initialised from a
// function name (a driver's dispatch tables stay in read-only data with no
// static constructor), and the same size as the pointer the records of the
// real headers hold.
#pragma once

#include <stdint.h>

#ifdef __cplusplus

// The foreign code region: [KiForeignCodeBase, KiForeignCodeBase +
// KiForeignCodeSize). Both are written once, by the loader, before the first
// image is mapped (size last, with release order); afterwards only read.
extern "C" uintptr_t KiForeignCodeBase;
extern "C" uintptr_t KiForeignCodeSize;
// Calls into foreign code that have not yet returned, across all threads; the
// loader unmaps no image while any runs (a completion routine may still be in
// its epilogue after the waiter it woke has removed the device).
extern "C" long KiForeignCallsActive;

inline bool KiIsForeignCode(const void* address) {
    const uintptr_t size = __atomic_load_n(&KiForeignCodeSize, __ATOMIC_ACQUIRE);
    return reinterpret_cast<uintptr_t>(address) - KiForeignCodeBase < size;
}

template <class Signature>
class KCallback;

template <class R, class... Args>
class KCallback<R(Args...)> {
public:
    using Routine = R (*)(Args...);
    // Spelled as a typedef: GCC drops the attribute from the alias form
    // inside a template.
    typedef R __attribute__((ms_abi)) (*ForeignRoutine)(Args...);

    KCallback() = default;
    constexpr KCallback(Routine routine) : routine_(routine) {}

    R operator()(Args... args) const {
        if (__builtin_expect(KiIsForeignCode(reinterpret_cast<const void*>(routine_)), 0)) {
            return CallForeign(routine_, args...);
        }
        return routine_(args...);
    }

    explicit constexpr operator bool() const { return routine_ != nullptr; }
    // The address, for comparisons, logs and atomic exchanges; never for calls.
    void* address() const { return reinterpret_cast<void*>(routine_); }
    static KCallback FromAddress(void* address) {
        return KCallback(reinterpret_cast<Routine>(address));
    }
    bool foreign() const { return KiIsForeignCode(reinterpret_cast<const void*>(routine_)); }

    friend constexpr bool operator==(KCallback a, KCallback b) { return a.routine_ == b.routine_; }
    friend constexpr bool operator!=(KCallback a, KCallback b) { return a.routine_ != b.routine_; }
    friend constexpr bool operator==(KCallback a, decltype(nullptr)) { return !a.routine_; }
    friend constexpr bool operator!=(KCallback a, decltype(nullptr)) { return a.routine_; }

private:
    // Out of line: GCC merges the two calls of operator() into one when both
    // are inline, losing the foreign call's convention.
    static R __attribute__((noinline)) CallForeign(Routine routine, Args... args) {
        struct Active {
            Active() { __atomic_add_fetch(&KiForeignCallsActive, 1, __ATOMIC_ACQ_REL); }
            ~Active() { __atomic_sub_fetch(&KiForeignCallsActive, 1, __ATOMIC_ACQ_REL); }
        } active;
        return reinterpret_cast<ForeignRoutine>(routine)(args...);
    }

    Routine routine_;
};

#endif
