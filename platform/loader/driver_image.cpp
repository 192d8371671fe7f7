// Mapping a driver image: one reserved stretch of address space (the foreign
// code region) holds the export stubs and every image ever loaded, each at
// an address of its own that is never reused. Sections get their own
// protection, base relocations move the image, imports bind to the export
// stubs, and DriverEntry runs through the plug-and-play manager.
#include "loader_internal.h"
#include "pe_image.h"

#include <host/driver_image.h>
#include <host/kernel.h>
#include <host/ks_pnp.h>

#include "rtl_text.h"
#include "verifier_caller.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define M4350_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define M4350_LSAN 1
#endif
#endif
#ifdef M4350_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace host::loader {
namespace {

constexpr size_t kRegionSize = size_t(16) << 30; // address space only
constexpr size_t kStubArea = 0x10000;
constexpr size_t kImageAlignment = 0x10000;
constexpr size_t kStubSize = 16;

struct Symbol {
    uint32_t rva;
    std::string name;
};

struct Image {
    std::string name; // file name, "m4350av.sys"
    uint8_t* base = nullptr;
    size_t size = 0;
    PeImage pe;
    std::vector<Symbol> symbols; // sorted by rva; from the link map, when there is one
    host::ks::Driver* driver = nullptr;
    std::atomic<bool> retired{false}; // set once, under g_lock
};

// Images, live and retired. Entries are added under g_lock and never removed
// or changed afterwards except `retired` and `driver` (under g_lock); the
// fault handler reads the list without the lock, so it is a fixed-capacity
// array of pointers published with release stores.
constexpr size_t kMaxImages = 4096;
std::mutex g_lock;
Image* g_images[kMaxImages];
std::atomic<size_t> g_imageCount{0};
uint8_t* g_region = nullptr;
size_t g_regionUsed = 0;             // guarded by g_lock
std::vector<Image*> g_pendingRetire; // guarded by g_lock
thread_local Image* t_loading = nullptr;
struct sigaction g_previousSegv, g_previousBus;

// ---------------------------------------------------------------------------
// Diagnostics

const Image* FindImage(uintptr_t address) {
    const size_t count = g_imageCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        const Image* image = g_images[i];
        const auto base = reinterpret_cast<uintptr_t>(image->base);
        if (address - base < image->size) {
            return image;
        }
    }
    return nullptr;
}

void Describe(const Image& image, uintptr_t address, char* out, size_t size) {
    const auto rva = static_cast<uint32_t>(address - reinterpret_cast<uintptr_t>(image.base));
    auto it = std::upper_bound(image.symbols.begin(), image.symbols.end(), rva,
                               [](uint32_t v, const Symbol& s) { return v < s.rva; });
    if (it != image.symbols.begin()) {
        --it;
        std::snprintf(out, size, "%s+0x%x (%s+0x%x)", image.name.c_str(), rva, it->name.c_str(),
                      rva - it->rva);
    } else {
        std::snprintf(out, size, "%s+0x%x", image.name.c_str(), rva);
    }
}

void ChainSignal(int signal, siginfo_t* info, void* context) {
    const struct sigaction& previous = signal == SIGSEGV ? g_previousSegv : g_previousBus;
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) {
            previous.sa_sigaction(signal, info, context);
            return;
        }
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    ::signal(signal, SIG_DFL);
    raise(signal);
}

// A fault with the instruction pointer or the faulting address in an image:
// say where, in the image's terms, then let the sanitizer's (or the default)
// handler report the rest.
void FaultHandler(int signal, siginfo_t* info, void* context) {
    const auto* uc = static_cast<const ucontext_t*>(context);
    const auto ip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    const Image* image = FindImage(ip);
    const uintptr_t where = image ? ip : address;
    if (!image) {
        image = FindImage(address);
    }
    if (image) {
        char place[512];
        Describe(*image, where, place, sizeof(place));
        char line[768];
        const int n =
            image->retired
                ? std::snprintf(line, sizeof(line),
                                "verifier: IMAGE_UNLOADED: call into %s, which was unloaded\n",
                                place)
                : std::snprintf(line, sizeof(line), "fault in driver image at %s\n", place);
        if (n > 0) {
            (void)!write(STDERR_FILENO, line, std::min<size_t>(size_t(n), sizeof(line) - 1));
        }
    }
    ChainSignal(signal, info, context);
}

void LoadSymbols(Image* image, const std::string& path) {
    // The link map beside the image, or in the build folder above bin/.
    const auto slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string stem = image->name.substr(0, image->name.find_last_of('.'));
    for (const std::string& candidate : {dir + "/" + stem + ".map", dir + "/../" + stem + ".map"}) {
        std::ifstream in(candidate);
        if (!in) {
            continue;
        }
        const std::regex symbolLine(R"(^\s+0x([0-9a-fA-F]{16})\s+([A-Za-z_?@$.][^\s]*)\s*$)");
        std::string line;
        std::smatch m;
        while (std::getline(in, line)) {
            if (std::regex_match(line, m, symbolLine)) {
                const uint64_t address = std::stoull(m[1].str(), nullptr, 16);
                if (address >= image->pe.preferredBase &&
                    address - image->pe.preferredBase < image->size) {
                    image->symbols.push_back(
                        {static_cast<uint32_t>(address - image->pe.preferredBase), m[2].str()});
                }
            }
        }
        std::sort(image->symbols.begin(), image->symbols.end(),
                  [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
        return;
    }
}

// A verifier stop inside a call from an image names the image's caller.
std::string DescribeForeignCaller() {
    const void* caller = CurrentImageCaller();
    if (!caller) {
        return {};
    }
    const Image* image = FindImage(reinterpret_cast<uintptr_t>(caller));
    if (!image) {
        return {};
    }
    char place[512];
    Describe(*image, reinterpret_cast<uintptr_t>(caller), place, sizeof(place));
    return std::string(" (called from ") + place + ")";
}

// ---------------------------------------------------------------------------
// The region

// Reserves the region and fills its first page with one stub per routine
// export: `jmp [rip+0]` followed by the thunk's address. Under g_lock.
bool ReserveRegion(std::string* error) {
    if (g_region) {
        return true;
    }
    void* region =
        mmap(nullptr, kRegionSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) {
        *error = "cannot reserve address space for driver images";
        return false;
    }
    auto* stubs = static_cast<uint8_t*>(region);
    if (mprotect(stubs, kStubArea, PROT_READ | PROT_WRITE) != 0) {
        *error = "cannot map the export stubs";
        return false;
    }
    const auto exports = Exports();
    static_assert(kStubSize * 256 <= kStubArea);
    for (size_t i = 0; i < exports.size() && i < 256; ++i) {
        uint8_t* stub = stubs + i * kStubSize;
        const uint8_t jump[6] = {0xFF, 0x25, 0, 0, 0, 0};
        std::memcpy(stub, jump, sizeof(jump));
        std::memcpy(stub + 6, &exports[i].address, 8);
        stub[14] = stub[15] = 0xCC;
    }
    mprotect(stubs, kStubArea, PROT_READ | PROT_EXEC);
    g_region = stubs;
    g_regionUsed = kStubArea;
    KiForeignCodeBase = reinterpret_cast<uintptr_t>(region);
    __atomic_store_n(&KiForeignCodeSize, kRegionSize, __ATOMIC_RELEASE);

    kernel::SetForeignCallerDescriber(DescribeForeignCaller);

    struct sigaction action {};
    action.sa_sigaction = FaultHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previousSegv);
    sigaction(SIGBUS, &action, &g_previousBus);
    return true;
}

int Protection(const PeSection& s) {
    return (s.readable ? PROT_READ : 0) | (s.writable ? PROT_WRITE : 0) |
           (s.executable ? PROT_EXEC : 0);
}

void RegisterRoots(const Image& image, bool on) {
#ifdef M4350_LSAN
    // Pool pointers kept in an image's globals are live: LeakSanitizer does
    // not see the image's writable sections unless told.
    for (const auto& s : image.pe.sections) {
        if (s.writable) {
            if (on) {
                __lsan_register_root_region(image.base + s.rva, s.size);
            } else {
                __lsan_unregister_root_region(image.base + s.rva, s.size);
            }
        }
    }
#else
    (void)image;
    (void)on;
#endif
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Maps a parsed image. Under g_lock.
Image* MapImage(std::unique_ptr<Image> image, std::string* error) {
    if (!ReserveRegion(error)) {
        return nullptr;
    }
    if (g_imageCount.load() >= kMaxImages) {
        *error = "too many driver images loaded in this process";
        return nullptr;
    }
    const size_t size = image->pe.view.size();
    const size_t span = (size + kImageAlignment - 1) / kImageAlignment * kImageAlignment;
    // One unmapped 64 KiB gap after each image catches runs past its end.
    if (g_regionUsed + span + kImageAlignment > kRegionSize) {
        *error = "the address space for driver images is used up";
        return nullptr;
    }
    uint8_t* base = g_region + g_regionUsed;
    image->base = base;
    image->size = size;

    // Bind, relocate, then copy and protect.
    auto& view = image->pe.view;
    for (const auto& import : image->pe.imports) {
        const ExportEntry* found = nullptr;
        size_t index = 0;
        const auto exports = Exports();
        for (size_t i = 0; i < exports.size(); ++i) {
            if (EqualNoCase(exports[i].dll, import.dll) && import.name == exports[i].name) {
                found = &exports[i];
                index = i;
                break;
            }
        }
        if (!found) {
            *error = "unresolved import " + import.dll + "!" + import.name;
            return nullptr;
        }
        const void* target = found->data ? found->address : g_region + index * kStubSize;
        std::memcpy(view.data() + import.slotRva, &target, 8);
    }
    const uint64_t delta = reinterpret_cast<uint64_t>(base) - image->pe.preferredBase;
    for (const uint32_t rva : image->pe.relocations) {
        uint64_t value;
        std::memcpy(&value, view.data() + rva, 8);
        value += delta;
        std::memcpy(view.data() + rva, &value, 8);
    }
    if (mprotect(base, size, PROT_READ | PROT_WRITE) != 0) {
        *error = "cannot map the image";
        return nullptr;
    }
    std::memcpy(base, view.data(), size);
    mprotect(base, size, PROT_NONE);
    mprotect(base, image->pe.sections.empty() ? size : image->pe.sections.front().rva, PROT_READ);
    for (const auto& s : image->pe.sections) {
        mprotect(base + s.rva, s.size, Protection(s));
    }
    g_regionUsed += span + kImageAlignment;
    view.clear();
    view.shrink_to_fit();
    RegisterRoots(*image, true);

    Image* mapped = image.release();
    const size_t slot = g_imageCount.load();
    g_images[slot] = mapped;
    g_imageCount.store(slot + 1, std::memory_order_release);
    return mapped;
}

// The addresses stay reserved: a late call into them faults and is named.
void Retire(Image* image) {
    RegisterRoots(*image, false);
    mprotect(image->base, image->size, PROT_NONE);
    image->retired = true;
}

// Retires the unloaded images nothing runs in any more. Under g_lock.
void RetirePending() {
    if (g_pendingRetire.empty() || host::LiveSystemThreadCount() != 0 ||
        host::LiveWorkItemCount() != 0 ||
        __atomic_load_n(&KiForeignCallsActive, __ATOMIC_ACQUIRE) != 0) {
        return;
    }
    for (Image* image : g_pendingRetire) {
        Retire(image);
    }
    g_pendingRetire.clear();
}

// DriverEntry as the plug-and-play manager calls it, with the host's registry
// path: the image gets it in UTF-16.
NTSTATUS ImageDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    Image* image = t_loading;
    const std::u16string path = m4350::rtl::ToUtf16(m4350::rtl::View(registryPath));
    UNICODE_STRING imagePath;
    imagePath.Length = static_cast<USHORT>(std::min<size_t>(path.size() * 2, 0xFFFC));
    imagePath.MaximumLength = imagePath.Length;
    imagePath.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(path.data()));
    const auto entry = PDRIVER_INITIALIZE::FromAddress(image->base + image->pe.entryRva);
    return entry(driverObject, &imagePath);
}

Image* ImageOfDriver(host::ks::Driver* driver) {
    const size_t count = g_imageCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        if (g_images[i]->driver == driver && !g_images[i]->retired) {
            return g_images[i];
        }
    }
    return nullptr;
}

} // namespace

void* ImageExportAddress(std::string_view name) {
    std::string error;
    std::lock_guard lock(g_lock);
    if (!ReserveRegion(&error)) {
        return nullptr;
    }
    const auto exports = Exports();
    for (size_t i = 0; i < exports.size(); ++i) {
        if (name == exports[i].name) {
            return exports[i].data ? exports[i].address : g_region + i * kStubSize;
        }
    }
    return nullptr;
}

NTSTATUS LoadDriverImage(const std::string& path, const wchar_t* registryPath,
                         host::ks::Driver** driver, std::string* error) {
    *driver = nullptr;
    const auto slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = name + ": cannot open " + path;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    auto image = std::make_unique<Image>();
    image->name = name;
    std::string why;
    if (!ParsePeImage(file.data(), file.size(), &image->pe, &why)) {
        *error = name + ": " + why;
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    image->size = image->pe.view.size();
    LoadSymbols(image.get(), path);
    Image* mapped = nullptr;
    {
        std::lock_guard lock(g_lock);
        RetirePending();
        mapped = MapImage(std::move(image), &why);
    }
    if (!mapped) {
        *error = name + ": " + why;
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    t_loading = mapped;
    const NTSTATUS status = host::ks::LoadDriver(ImageDriverEntry, registryPath, driver);
    t_loading = nullptr;
    std::lock_guard lock(g_lock);
    if (!NT_SUCCESS(status)) {
        *error = name + ": DriverEntry failed";
        g_pendingRetire.push_back(mapped);
        RetirePending();
        return status;
    }
    mapped->driver = *driver;
    return status;
}

void UnloadDriverImage(host::ks::Driver* driver) {
    Image* image = nullptr;
    {
        std::lock_guard lock(g_lock);
        image = ImageOfDriver(driver);
    }
    host::ks::UnloadDriver(driver);
    if (!image) {
        return;
    }
    std::lock_guard lock(g_lock);
    image->driver = nullptr;
    g_pendingRetire.push_back(image);
    RetirePending();
}

bool IsDriverImage(host::ks::Driver* driver) {
    std::lock_guard lock(g_lock);
    return driver && ImageOfDriver(driver) != nullptr;
}

bool IsImageAddress(const void* address) {
    const Image* image = FindImage(reinterpret_cast<uintptr_t>(address));
    return image && !image->retired;
}

std::string DescribeImageAddress(const void* address) {
    const Image* image = FindImage(reinterpret_cast<uintptr_t>(address));
    if (!image) {
        return {};
    }
    char text[512];
    Describe(*image, reinterpret_cast<uintptr_t>(address), text, sizeof(text));
    return text;
}

std::size_t MappedImageCount() {
    std::lock_guard lock(g_lock);
    RetirePending();
    size_t n = 0;
    for (size_t i = 0; i < g_imageCount.load(); ++i) {
        n += !g_images[i]->retired;
    }
    return n;
}

} // namespace host::loader
