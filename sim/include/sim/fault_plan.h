// How the board misbehaves on purpose. A plan is a list of rules; each rule
// watches one kind of event and fires on some of them. Everything is
// deterministic: the same plan and the same sequence of requests give the
// same faults, the random share included (it is drawn from the plan's seed).
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace m4350::sim {

enum class Fault : uint8_t {
    WithholdReady,        // event: a ready block the board would send after booting
    WithholdAck,          // event: a mode acknowledgement
    WithholdStatus,       // event: a status answer
    StallVendor,          // event: a vendor request (match: the request code)
    FailCommandWrite,     // event: a bulk write on pipe 0; it ends with an error, unread
    HangCommandWrite,     // event: a bulk write on pipe 0; it never ends until cancelled
    FailStreamRead,       // event: a read on pipe 1 that would carry data; it ends with an error
    HangStreamRead,       // event: a read on pipe 1 that would carry data; it never ends
    BadFrameChannel,      // event: a frame going out (match: board channel); header names
                          // channel `value` (4 when 0)
    OversizeFrame,        // event: a frame going out; header size 16384 above the transfer size
    UndersizeFrame,       // event: a frame going out; header size `value` (256 when 0 or >= 512)
    GarbageBetweenFrames, // event: a frame going out; `value` blocks (1 when 0) of random
                          // bytes without any marker go out before it
    UnplugAtFrame,        // event: a frame going out; the board is unplugged instead
    UnplugAtCommand,      // event: a command packet; the board is unplugged instead of acting
};
inline constexpr size_t kFaultKinds = size_t(Fault::UnplugAtCommand) + 1;

const char* ToString(Fault fault);

struct FaultRule {
    Fault fault = Fault::WithholdAck;
    uint32_t skip = 0;      // eligible events that pass before the rule may fire
    uint32_t count = 1;     // how often it fires; 0 = on every eligible event after `skip`
    double probability = 1; // share of eligible events it fires on
    int32_t match = -1;     // only events with this subject (see Fault); -1 = any
    uint32_t value = 0;     // fault-specific parameter (see Fault)
};

class FaultPlan {
public:
    explicit FaultPlan(uint64_t seed = 1) : random_(seed) {}

    void Add(const FaultRule& rule) { rules_.push_back({rule, 0, 0}); }
    void Clear() { rules_.clear(); }

    // One event of `fault` about `subject`: the first rule that fires, or
    // null. Every eligible rule counts the event.
    const FaultRule* Fire(Fault fault, int32_t subject = -1);

    uint64_t Fired(Fault fault) const { return fired_[size_t(fault)]; }
    const std::array<uint64_t, kFaultKinds>& FiredAll() const { return fired_; }

private:
    struct Entry {
        FaultRule rule;
        uint64_t seen;
        uint64_t fired;
    };
    std::vector<Entry> rules_;
    std::mt19937_64 random_;
    std::array<uint64_t, kFaultKinds> fired_{};
};

} // namespace m4350::sim
