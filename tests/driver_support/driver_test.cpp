#include "driver_test.h"

#include <host/kernel.h>
#include <host/services.h>

#include <filesystem>
#include <string>

namespace m4350test {

void DriverTest::SetUp() {
    KernelTest::SetUp();
    host::ClearDebugLog();
    // Tests of one process share the system root: each starts without
    // registry values and without settings files.
    host::ResetRegistry();
    host::ResetSystemRoutines();
    std::filesystem::path drivers = host::SystemRoot() / "system32" / "drivers";
    for (unsigned n = 0; n < 8; ++n) {
        std::filesystem::remove(drivers / ("m4350dev" + std::to_string(n) + ".bin"));
    }
}

void DriverTest::TearDown() {
    KernelTest::TearDown();
}

} // namespace m4350test
