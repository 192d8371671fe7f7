// Base fixture of the driver's tests: the shared kernel fixture's checks (no
// pool, IRP, work item, thread or handle left behind), and a clean slate for
// what the driver reads from outside, the registry and the settings files.
#pragma once

#include "test_device.h"

#include <kernel_test.h>

namespace m4350test {

class DriverTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace m4350test
