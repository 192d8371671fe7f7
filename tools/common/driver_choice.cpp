#include "driver_choice.h"

#include "device/capture_device.h"

#include <host/driver_image.h>
#include <host/ks_pnp.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>

namespace m4350::tools {

namespace {
constexpr const wchar_t* kRegistryPath =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\m4350av";
}

std::string ChosenDriverImage(const std::string& option) {
    if (!option.empty()) {
        return option;
    }
    const char* variable = std::getenv(host::loader::kDriverImageVariable);
    return variable ? variable : "";
}

void AddDriverImageOption(CLI::App& app, std::string* path) {
    app.add_option("--driver-image", *path,
                   "bring the boards up under this m4350av.sys (the Windows build's image, "
                   "loaded into the host kernel) instead of the driver built with the tool; "
                   "also M4350_DRIVER_IMAGE");
}

NTSTATUS LoadM4350(const std::string& image, host::ks::Driver** driver, std::string* error) {
    NTSTATUS status;
    char hex[16];
    if (image.empty()) {
        status = host::ks::LoadDriver(DriverEntry, kRegistryPath, driver);
        std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(status));
        if (!NT_SUCCESS(status)) {
            *error = std::string("the driver did not load (DriverEntry ") + hex + ")";
        }
    } else {
        std::string why;
        status = host::loader::LoadDriverImage(image, kRegistryPath, driver, &why);
        std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(status));
        if (!NT_SUCCESS(status)) {
            *error = "the driver image did not load: " + why + " (" + hex + ")";
        }
    }
    if (!NT_SUCCESS(status)) {
        *driver = nullptr;
    }
    return status;
}

void UnloadM4350(host::ks::Driver* driver) {
    if (host::loader::IsDriverImage(driver)) {
        host::loader::UnloadDriverImage(driver);
    } else {
        host::ks::UnloadDriver(driver);
    }
}

} // namespace m4350::tools
