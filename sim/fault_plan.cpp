#include <sim/fault_plan.h>

namespace m4350::sim {

const char* ToString(Fault fault) {
    switch (fault) {
    case Fault::WithholdReady:
        return "withhold-ready";
    case Fault::WithholdAck:
        return "withhold-ack";
    case Fault::WithholdStatus:
        return "withhold-status";
    case Fault::StallVendor:
        return "stall-vendor";
    case Fault::FailCommandWrite:
        return "fail-command-write";
    case Fault::HangCommandWrite:
        return "hang-command-write";
    case Fault::FailStreamRead:
        return "fail-stream-read";
    case Fault::HangStreamRead:
        return "hang-stream-read";
    case Fault::BadFrameChannel:
        return "bad-frame-channel";
    case Fault::OversizeFrame:
        return "oversize-frame";
    case Fault::UndersizeFrame:
        return "undersize-frame";
    case Fault::GarbageBetweenFrames:
        return "garbage-between-frames";
    case Fault::UnplugAtFrame:
        return "unplug-at-frame";
    case Fault::UnplugAtCommand:
        return "unplug-at-command";
    }
    return "?";
}

const FaultRule* FaultPlan::Fire(Fault fault, int32_t subject) {
    const FaultRule* hit = nullptr;
    for (Entry& e : rules_) {
        if (e.rule.fault != fault || (e.rule.match >= 0 && e.rule.match != subject))
            continue;
        if (++e.seen <= e.rule.skip || hit)
            continue;
        if (e.rule.count && e.fired >= e.rule.count)
            continue;
        if (e.rule.probability < 1) {
            // Drawn only here, so the sequence depends on the events alone.
            const double draw = std::uniform_real_distribution<double>(0, 1)(random_);
            if (draw >= e.rule.probability)
                continue;
        }
        ++e.fired;
        hit = &e.rule;
    }
    if (hit)
        ++fired_[size_t(fault)];
    return hit;
}

} // namespace m4350::sim
