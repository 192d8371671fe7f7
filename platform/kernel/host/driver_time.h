// Processor time of the driver
//
// The platform measures the thread time of every call it makes into driver
// code from threads of its own: bus completions, pin processing, work items
// and system threads. A call made inside another measured one counts once.
#pragma once

#include <cstdint>

namespace host {

double DriverCpuSeconds(); // since the process began

// Measures one call into the driver, from construction to destruction.
class DriverTimeScope {
public:
    DriverTimeScope();
    ~DriverTimeScope();
    DriverTimeScope(const DriverTimeScope&) = delete;
    DriverTimeScope& operator=(const DriverTimeScope&) = delete;

private:
    std::int64_t start_; // thread time in ns; -1 in a nested scope
};

} // namespace host
