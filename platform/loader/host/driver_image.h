// Loading a driver image (.sys) into the host kernel: the target build's
// m4350av.sys, mapped, relocated and bound to the host's exports, and then
// brought up through the plug-and-play manager like a driver built here.
//
//   std::string error;
//   host::ks::Driver* driver = nullptr;
//   NTSTATUS status = host::loader::LoadDriverImage(path, registryPath, &driver, &error);
//   ... host::ks::AddDevice(driver, ...) as for any driver ...
//   host::loader::UnloadDriverImage(driver); // instead of host::ks::UnloadDriver
//
// The image stays mapped until its devices, system threads and work items are
// gone; afterwards its addresses are never reused, and a call into them stops
// the process naming the image. Each load maps a fresh copy, so an image's
// globals start anew with every load (a driver built here keeps its globals
// for the life of the process).
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace host::ks {
struct Driver;
}

namespace host::loader {

// The environment variable that names the image the tests and tools bring
// boards up under instead of the driver built here.
inline constexpr const char* kDriverImageVariable = "M4350_DRIVER_IMAGE";

// Maps the image and calls its DriverEntry with a UTF-16 registry path. An
// image that cannot load returns STATUS_INVALID_IMAGE_FORMAT with `error`
// saying why ("m4350av.sys: unresolved import ks.sys!KsFoo"); a DriverEntry
// that fails returns its status, and the image is unmapped again.
NTSTATUS LoadDriverImage(const std::string& path, const wchar_t* registryPath,
                         host::ks::Driver** driver, std::string* error);
// host::ks::UnloadDriver, then the image's retirement.
void UnloadDriverImage(host::ks::Driver* driver);

// True when `driver` came from LoadDriverImage.
bool IsDriverImage(host::ks::Driver* driver);
// True for an address inside a mapped driver image (its code or data).
bool IsImageAddress(const void* address);
// "m4350av.sys+0x1a2b (ReadStream+0x3f)" for an address in an image (mapped
// or retired), else "".
std::string DescribeImageAddress(const void* address);

// Images mapped and not yet retired.
std::size_t MappedImageCount();

} // namespace host::loader
