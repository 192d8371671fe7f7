// Runs a tool as a separate process with a temporary system root of its own,
// and collects what it wrote to standard output and standard error.
#pragma once

#include <filesystem>
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

// Runs `program` with `args` (no shell), waiting for it to end; `env`
// entries ("NAME=value") come on top of this process's environment.
ToolRun RunTool(const std::string& program, const std::vector<std::string>& args,
                const std::vector<std::string>& env = {});

} // namespace m4350::test
