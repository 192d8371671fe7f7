// Runs a tool as a separate process with a temporary system root of its own,
// and collects what it wrote to standard output and standard error.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace m4350::test {

struct ToolRun {
    int exitCode = -1;
    std::string out; // standard output, bytes as written
    std::string err;
};

// A folder under the system's temporary folder, removed with the object.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

struct RunOptions {
    std::vector<std::string> env; // "NAME=value", on top of this process's environment
    std::filesystem::path cwd;    // empty: this process's
    // Largest file the tool may write (RLIMIT_FSIZE): a write beyond it fails
    // with EFBIG, as a full disk fails with ENOSPC. 0: no limit.
    off_t fileSizeLimit = 0;
    // Reads the tool's standard output from this pipe while it runs, and may
    // close it early (as a viewer does when it is closed); `out` then stays
    // empty.
    std::function<void(int fd)> reader;
    // Gives the tool a terminal of this many columns as standard error and
    // hands its other end to `terminal`, which reads until it ends.
    unsigned short terminalColumns = 0;
    std::function<void(int fd)> terminal;
};

// Runs `program` with `args` (no shell), waiting for it to end.
ToolRun RunTool(const std::string& program, const std::vector<std::string>& args,
                const RunOptions& options);
inline ToolRun RunTool(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& env = {}) {
    return RunTool(program, args, RunOptions{env});
}

} // namespace m4350::test
