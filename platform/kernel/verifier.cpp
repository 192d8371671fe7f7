// The verifier: rule names, stop-or-record, and the checks that are not
// owned by any one kernel service (ASSERT, PAGED_CODE).
#include "kernel_internal.h"
#include "verifier_caller.h"

#include <atomic>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

std::mutex g_lock;
std::vector<host::Violation> g_violations;
std::atomic<bool> g_testMode{false};

} // namespace

namespace host {

const char* RuleName(Rule rule) {
    switch (rule) {
    case Rule::WaitAtDispatch:
        return "WAIT_AT_DISPATCH";
    case Rule::MutexAtDispatch:
        return "MUTEX_AT_DISPATCH";
    case Rule::MutexNotOwned:
        return "MUTEX_NOT_OWNED";
    case Rule::SpinLockNotHeld:
        return "SPIN_LOCK_NOT_HELD";
    case Rule::SpinLockRecursion:
        return "SPIN_LOCK_RECURSION";
    case Rule::SpinLockBelowDispatch:
        return "SPIN_LOCK_BELOW_DISPATCH";
    case Rule::IrqlNotRestored:
        return "IRQL_NOT_RESTORED";
    case Rule::IrqlBadRaise:
        return "IRQL_BAD_RAISE";
    case Rule::IrqlBadLower:
        return "IRQL_BAD_LOWER";
    case Rule::PagedCodeAtDispatch:
        return "PAGED_CODE_AT_DISPATCH";
    case Rule::PoolDoubleFree:
        return "POOL_DOUBLE_FREE";
    case Rule::PoolWrongTag:
        return "POOL_WRONG_TAG";
    case Rule::RemoveLockUnderflow:
        return "REMOVE_LOCK_UNDERFLOW";
    case Rule::RemoveLockBadSize:
        return "REMOVE_LOCK_BAD_SIZE";
    case Rule::IrpCompletedTwice:
        return "IRP_COMPLETED_TWICE";
    case Rule::IrpCompletedWithCancel:
        return "IRP_COMPLETED_WITH_CANCEL_ROUTINE";
    case Rule::IrpStackOverflow:
        return "IRP_NO_MORE_STACK_LOCATIONS";
    case Rule::IrpFreedTwice:
        return "IRP_FREED_TWICE";
    case Rule::IrpUnowned:
        return "IRP_COMPLETED_WITHOUT_OWNER";
    case Rule::WorkItemBusy:
        return "WORK_ITEM_BUSY";
    case Rule::ThreadIrql:
        return "THREAD_EXIT_IRQL";
    case Rule::ObjectUnknown:
        return "OBJECT_UNKNOWN";
    case Rule::InvalidParameter:
        return "INVALID_PARAMETER";
    case Rule::Assertion:
        return "ASSERTION_FAILED";
    case Rule::ExtendedStateIrql:
        return "EXTENDED_STATE_IRQL";
    case Rule::ExtendedStateUnpaired:
        return "EXTENDED_STATE_UNPAIRED";
    }
    return "UNKNOWN_RULE";
}

void SetVerifierTestMode(bool on) {
    g_testMode.store(on);
}

bool VerifierTestMode() {
    return g_testMode.load();
}

std::vector<Violation> Violations() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_violations;
}

std::vector<Violation> TakeViolations() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<Violation> taken;
    taken.swap(g_violations);
    return taken;
}

void ClearViolations() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_violations.clear();
}

std::size_t ViolationCount(Rule rule) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::size_t n = 0;
    for (const auto& v : g_violations) {
        n += v.rule == rule;
    }
    return n;
}

void ReportViolation(Rule rule, std::string_view detail) {
    kernel::Violate(rule, std::string(detail));
}

} // namespace host

namespace kernel {

namespace {
std::atomic<ForeignCallerDescriber> g_foreignCaller{nullptr};
}

void SetForeignCallerDescriber(ForeignCallerDescriber describer) {
    g_foreignCaller.store(describer);
}

void Violate(host::Rule rule, const std::string& detail) {
    std::string message = std::string("verifier: ") + host::RuleName(rule) + ": " + detail;
    if (const ForeignCallerDescriber describe = g_foreignCaller.load()) {
        message += describe();
    }
    if (g_testMode.load()) {
        std::lock_guard<std::mutex> guard(g_lock);
        g_violations.push_back({rule, std::move(message)});
        return;
    }
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace kernel

EXTERN_C VOID NTAPI RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber,
                              PSTR MutableMessage) {
    std::string detail = static_cast<const char*>(VoidFailedAssertion);
    detail += " at ";
    detail += static_cast<const char*>(VoidFileName);
    detail += ":" + std::to_string(LineNumber);
    if (MutableMessage != NULL) {
        detail += " (";
        detail += MutableMessage;
        detail += ")";
    }
    kernel::Violate(host::Rule::Assertion, detail);
}

EXTERN_C VOID NTAPI HostPagedCodeCheck(PCSTR Function) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        kernel::Violate(host::Rule::PagedCodeAtDispatch, std::string("pageable function ") +
                                                             Function + " called at IRQL " +
                                                             std::to_string(irql));
    }
}
