// The host controller's bulk bandwidth: a schedule of bus time that every
// transfer of every bus on the controller books in turn.
#include <host/usb_bus.h>

#include <host/kernel.h>

#include <algorithm>
#include <atomic>

namespace host::usb {

namespace {

std::atomic<uint32_t> defaultLimit{0};

// How far an idle bus may run ahead of the schedule afterwards. Without any
// credit a bus thread that wakes late loses that time for good, and the bus
// would carry noticeably less than its limit.
constexpr std::chrono::nanoseconds kCredit = 8 * kMicroframe;

} // namespace

void SetDefaultBulkBytesPerMicroframe(uint32_t bytesPerMicroframe) {
    defaultLimit = bytesPerMicroframe;
}

uint32_t DefaultBulkBytesPerMicroframe() {
    return defaultLimit;
}

HostController::HostController(uint32_t bulkBytesPerMicroframe) : limit_(bulkBytesPerMicroframe) {}

HostController::HostController() : HostController(DefaultBulkBytesPerMicroframe()) {}

void HostController::SetBulkLimit(uint32_t bytesPerMicroframe) {
    std::lock_guard lk(m_);
    limit_ = bytesPerMicroframe;
}

uint32_t HostController::BulkLimit() const {
    std::lock_guard lk(m_);
    return limit_;
}

double HostController::BulkLimitBytesPerSecond() const {
    std::lock_guard lk(m_);
    return limit_ * (1e9 / double(kMicroframe.count()));
}

uint64_t HostController::BulkBytes() const {
    std::lock_guard lk(m_);
    return bytes_;
}

std::chrono::steady_clock::time_point HostController::Carry(uint32_t bytes) {
    return CarryAt(bytes, std::chrono::steady_clock::now());
}

std::chrono::steady_clock::time_point
HostController::CarryAt(uint32_t bytes, std::chrono::steady_clock::time_point now) {
    std::lock_guard lk(m_);
    bytes_ += bytes;
    if (limit_ == 0 || bytes == 0)
        return now;
    const auto real = std::chrono::nanoseconds(
        static_cast<int64_t>(uint64_t(bytes) * uint64_t(kMicroframe.count()) / limit_));
    const auto start = std::max(busyUntil_, now - ScaledDuration(kCredit));
    busyUntil_ = start + ScaledDuration(real);
    return busyUntil_;
}

} // namespace host::usb
