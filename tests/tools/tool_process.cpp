#include "tool_process.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace m4350::test {

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "m4350-tool-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

namespace {

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

ToolRun RunTool(const std::string& program, const std::vector<std::string>& args,
                const RunOptions& options) {
    // Output goes to files, so a chatty tool can never block on a full pipe;
    // a reader gets standard output through a pipe of its own.
    TempFolder io;
    const auto outPath = io.Path() / "out", errPath = io.Path() / "err";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : options.env)
        envp.push_back(const_cast<char*>(e.c_str()));
    for (char** e = environ; *e; ++e)
        envp.push_back(*e);
    envp.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    if (options.reader && pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make a pipe");
    int terminal[2] = {-1, -1}; // controller, tool's side
    if (options.terminal) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = options.terminalColumns;
        if (openpty(&terminal[0], &terminal[1], nullptr, nullptr, &size) != 0)
            throw std::runtime_error("cannot open a terminal");
    }
    const std::string cwd = options.cwd.string();
    ToolRun run;
    // Between fork and exec only async-signal-safe calls: this process has
    // threads.
    const pid_t pid = fork();
    if (pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        if (options.fileSizeLimit) {
            const rlimit limit{rlim_t(options.fileSizeLimit), rlim_t(options.fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        const int in = open("/dev/null", O_RDONLY);
        const int out =
            options.reader ? pipeFds[1] : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = options.terminal
                            ? terminal[1]
                            : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, STDIN_FILENO) < 0 ||
            dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0)
            _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (pid < 0) {
        run.err = "cannot start " + program;
        return run;
    }
    if (options.reader) {
        close(pipeFds[1]);
        options.reader(pipeFds[0]);
        close(pipeFds[0]);
    }
    if (options.terminal) {
        close(terminal[1]);
        options.terminal(terminal[0]);
        close(terminal[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = Slurp(outPath);
    run.err = Slurp(errPath);
    return run;
}

} // namespace m4350::test
