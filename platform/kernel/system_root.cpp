// The system root: the folder that \SystemRoot\ names, with its driver
// folder and the registry file.
#include "services_internal.h"

#include <host/kernel.h>
#include <host/services.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A root made for this process alone is removed when the process ends, so a
// test run does not leave one folder per test case behind.
struct PrivateRoot {
    fs::path path;
    ~PrivateRoot() {
        if (!path.empty()) {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    }
};

struct RootState {
    std::mutex mutex;
    fs::path root; // empty until first use
    PrivateRoot privateRoot;
};

RootState& State() {
    static RootState state;
    return state;
}

fs::path MakePrivateRoot() {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        base = "/tmp";
    }
    std::string pattern = (base / "m4350-root-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot create a system root under " + base.string());
    }
    return fs::path(pattern);
}

void Prepare(const fs::path& root) {
    std::error_code ec;
    fs::create_directories(root / "system32" / "drivers", ec);
    if (!ec) {
        fs::create_directories(m4350::services::RegistryFileOf(root).parent_path(), ec);
    }
    if (ec) {
        throw std::runtime_error("cannot create the system root " + root.string() + ": " +
                                 ec.message());
    }
    m4350::services::CreateRegistryFileIfMissing(root);
}

} // namespace

namespace m4350::services {

fs::path SystemRootPath() {
    auto& state = State();
    std::lock_guard lock(state.mutex);
    if (state.root.empty()) {
        fs::path root;
        if (const char* env = std::getenv("M4350_SYSTEM_ROOT"); env && *env) {
            root = fs::absolute(env);
        } else {
            root = MakePrivateRoot();
            state.privateRoot.path = root;
        }
        Prepare(root);
        state.root = root;
    }
    return state.root;
}

fs::path RegistryFileOf(const fs::path& root) {
    return root / "system32" / "config" / "registry.txt";
}

void RequirePassive(const char* routine) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        host::ReportViolation(host::Rule::PagedCodeAtDispatch,
                              std::string(routine) + " called at IRQL " + std::to_string(irql) +
                                  "; it runs only at PASSIVE_LEVEL");
    }
}

} // namespace m4350::services

namespace host {

fs::path SystemRoot() {
    return m4350::services::SystemRootPath();
}

void SetSystemRoot(const fs::path& root) {
    if (root.empty()) {
        throw std::invalid_argument("SetSystemRoot: empty path");
    }
    const fs::path absolute = fs::absolute(root);
    auto& state = State();
    std::lock_guard lock(state.mutex);
    Prepare(absolute);
    state.root = absolute;
}

fs::path RegistryFilePath() {
    return m4350::services::RegistryFileOf(m4350::services::SystemRootPath());
}

size_t OpenHandleCount() {
    return m4350::services::FileHandleCount() + m4350::services::RegistryKeyHandleCount() +
           OpenThreadHandleCount();
}

size_t OpenFileHandleCount() {
    return m4350::services::FileHandleCount();
}

size_t OpenRegistryKeyCount() {
    return m4350::services::RegistryKeyHandleCount();
}

} // namespace host
