#include "child_process.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace vorik_test {
namespace {

using Clock = std::chrono::steady_clock;

// A hung tool fails its test instead of hanging the whole run.
constexpr auto SAFETY_TIMEOUT = std::chrono::seconds(60);
constexpr std::size_t READ_CHUNK = 4096;
constexpr int EXEC_FAILED_STATUS = 127;
constexpr int POLL_FOREVER = -1;

std::string environment_or(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

// argv for execv: the emulator if there is one, the tool's path, then args.
class Argv {
   public:
    explicit Argv(const Args& args, const ToolUnderTest* program = nullptr) {
        const ToolUnderTest& tool = program != nullptr ? *program : tool_under_test();
        if (!tool.emulator.empty()) strings_.push_back(tool.emulator);
        strings_.push_back(tool.path);
        strings_.insert(strings_.end(), args.begin(), args.end());
        for (std::string& s : strings_) pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    const char* program() const { return strings_.front().c_str(); }
    char* const* get() { return pointers_.data(); }

   private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

[[noreturn]] void exec_tool(Argv& argv, const EnvAdditions& env) {
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    execv(argv.program(), argv.get());
    _exit(EXEC_FAILED_STATUS);
}

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + " failed, errno " + std::to_string(errno));
}

// Reads each fd into its sink until it reports end of file or EIO (a pty
// master's way of saying the terminal side is closed). Past the safety
// timeout the child is killed, which closes its ends.
void drain(std::vector<std::pair<int, std::string*>> sources, pid_t child) {
    const Clock::time_point deadline = Clock::now() + SAFETY_TIMEOUT;
    bool killed = false;
    while (!sources.empty()) {
        std::vector<pollfd> fds;
        for (const auto& source : sources) fds.push_back({source.first, POLLIN, 0});
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int timeout_ms =
            killed ? POLL_FOREVER : static_cast<int>(std::max<decltype(left.count())>(0, left.count()));
        const int ready = poll(fds.data(), fds.size(), timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        check(ready >= 0, "poll");
        if (ready == 0) {
            kill(child, SIGKILL);
            killed = true;
            continue;
        }
        for (std::size_t i = fds.size(); i-- > 0;) {
            if (fds[i].revents == 0) continue;
            char buffer[READ_CHUNK];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sources[i].second->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
}

// In the child, before the tool runs.
bool set_up_child(const ChildSetup& setup) {
    const auto limit = [](int resource, unsigned long bytes) {
        if (bytes == 0) return true;
        rlimit value{};
        if (getrlimit(resource, &value) != 0) return false;
        value.rlim_cur = bytes;
        return setrlimit(resource, &value) == 0;
    };
    return limit(RLIMIT_STACK, setup.stack_bytes) && limit(RLIMIT_AS, setup.address_space_bytes);
}

int exit_status(int wait_status) { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }

// A file holding `input`, shared with the child so that its read position
// afterwards tells how much the child took.
std::FILE* input_file(const char* input) {
    std::FILE* file = std::tmpfile();
    check(file != nullptr && std::fputs(input, file) >= 0 && std::fflush(file) == 0, "writing stdin file");
    std::rewind(file);
    return file;
}

}  // namespace

ToolUnderTest tool_from_environment(const char* path_variable, const char* default_path) {
    return {environment_or(path_variable, default_path), environment_or("VORIK_TOOL_EMULATOR", ""),
            environment_or("VORIK_TOOL_LINE_END", "lf") == "crlf"};
}

const ToolUnderTest& tool_under_test() {
    static const ToolUnderTest tool = tool_from_environment("VORIK_TOOL", VORIK_BINARY);
    return tool;
}

bool tool_runs_directly() { return tool_under_test().emulator.empty(); }

std::string as_written(const std::string& text) {
    if (!tool_under_test().crlf_line_ends) return text;
    std::string written;
    for (const char c : text) {
        if (c == '\n') written += '\r';
        written += c;
    }
    return written;
}

namespace {

// The pipes a piped run reads, and the child at their other ends.
struct PipedChild {
    pid_t pid;
    int out;
    int err;
    std::FILE* stdin_file;
};

PipedChild start_piped(const Args& args, const EnvAdditions& env, const char* input, const ChildSetup& setup,
                       int out_pipe_bytes) {
    Argv argv(args, setup.program);
    std::FILE* const stdin_file = input != nullptr ? input_file(input) : nullptr;
    int out_pipe[2];
    int err_pipe[2];
    check(pipe2(out_pipe, O_CLOEXEC) == 0 && pipe2(err_pipe, O_CLOEXEC) == 0, "pipe2");
    check(out_pipe_bytes == 0 || fcntl(out_pipe[1], F_SETPIPE_SZ, out_pipe_bytes) == out_pipe_bytes,
          "setting a pipe's size");
    // A forked child's peak RSS starts at the test process's resident size, so
    // hand freed heap back to the system first: the figure is then the tool's.
    malloc_trim(0);
    const pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        const int stdin_fd = stdin_file != nullptr ? fileno(stdin_file) : open("/dev/null", O_RDONLY);
        if (stdin_fd < 0 || dup2(stdin_fd, STDIN_FILENO) < 0 || dup2(out_pipe[1], STDOUT_FILENO) < 0 ||
            dup2(err_pipe[1], STDERR_FILENO) < 0 || !set_up_child(setup)) {
            _exit(EXEC_FAILED_STATUS);
        }
        exec_tool(argv, env);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    return {pid, out_pipe[0], err_pipe[0], stdin_file};
}

PipedRun finish_piped(const PipedChild& child) {
    PipedRun run;
    drain({{child.out, &run.out}, {child.err, &run.err}}, child.pid);
    close(child.out);
    close(child.err);
    int wait_status = 0;
    rusage usage{};
    check(wait4(child.pid, &wait_status, 0, &usage) == child.pid, "wait4");
    run.status = exit_status(wait_status);
    run.peak_rss_kib = usage.ru_maxrss;  // KiB on Linux
    if (child.stdin_file != nullptr) {
        run.input_consumed = static_cast<long>(lseek(fileno(child.stdin_file), 0, SEEK_CUR));
        std::fclose(child.stdin_file);
    }
    return run;
}

}  // namespace

PipedRun run_piped(const Args& args, const EnvAdditions& env, const char* input, const ChildSetup& setup) {
    return finish_piped(start_piped(args, env, input, setup, 0));
}

PipedRun run_held_up(const Args& args, const std::function<void(pid_t)>& while_held) {
    constexpr int ONE_PAGE = 4096;
    // Time for the tool to fill its own buffer once the pipe is full.
    constexpr auto SETTLING = std::chrono::milliseconds(300);
    constexpr auto POLL_INTERVAL = std::chrono::milliseconds(5);
    const PipedChild child = start_piped(args, {}, nullptr, {}, ONE_PAGE);
    const Clock::time_point deadline = Clock::now() + SAFETY_TIMEOUT;
    const auto still_running = [&child] {
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    };
    int waiting = 0;
    while ((ioctl(child.out, FIONREAD, &waiting) != 0 || waiting < ONE_PAGE) && Clock::now() < deadline &&
           still_running()) {
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    std::this_thread::sleep_for(SETTLING);
    while_held(child.pid);
    return finish_piped(child);
}

TerminalRun run_on_terminal(const Args& args, const EnvAdditions& env) {
    Argv argv(args);
    termios raw{};
    cfmakeraw(&raw);  // no echo, no newline translation: bytes arrive as written
    cfsetspeed(&raw, B38400);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, &raw, nullptr);
    check(pid >= 0, "forkpty");
    if (pid == 0) exec_tool(argv, env);
    // Queued on the terminal until the tool's closing pause reads it.
    check(write(master, "\n", 1) == 1, "write to terminal");
    TerminalRun run;
    drain({{master, &run.output}}, pid);
    close(master);
    int wait_status = 0;
    check(waitpid(pid, &wait_status, 0) == pid, "waitpid");
    run.status = exit_status(wait_status);
    return run;
}

}  // namespace vorik_test
