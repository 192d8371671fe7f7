// Which m4350av the tools and the system tests bring boards up under: the
// driver built here, or the target build's image (m4350av.sys) loaded into
// the host kernel, named by --driver-image PATH or the environment variable
// M4350_DRIVER_IMAGE. A named image that cannot load is an error; there is
// never a fallback to the driver built here.
#pragma once

#include <wdm.h>

#include <string>

namespace CLI {
class App;
}
namespace host::ks {
struct Driver;
}

namespace m4350::tools {

// `option` when not empty, else the environment's image, else "" (the driver
// built here).
std::string ChosenDriverImage(const std::string& option = {});

// Adds --driver-image PATH to a tool's command line.
void AddDriverImageOption(CLI::App& app, std::string* path);

// Loads m4350av as chosen (an empty `image`: the driver built here) and
// runs its DriverEntry. On failure `error` says what a person can act on.
NTSTATUS LoadM4350(const std::string& image, host::ks::Driver** driver, std::string* error);
// Unloads what LoadM4350 loaded.
void UnloadM4350(host::ks::Driver* driver);

} // namespace m4350::tools
