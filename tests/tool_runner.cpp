#include "tool_runner.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

scratch_dir::scratch_dir(const std::string& base)
{
    const std::filesystem::path in =
        base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base);
    std::string pattern = (in / "orvel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

scratch_dir::~scratch_dir()
{
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void scratch_dir::write(const std::string& name, const std::string& content) const
{
    std::ofstream out(file(name), std::ios::binary);
    out << content;
}

std::string scratch_dir::read(const std::string& name) const
{
    std::ifstream in(file(name), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

namespace {

// Kills the child when it outlives the time limit, unless stopped first.
class watchdog {
public:
    watchdog(pid_t child, unsigned seconds) : child_(child)
    {
        if (seconds > 0)
            thread_ = std::thread([this, seconds] { watch(seconds); });
    }
    ~watchdog() { stop(); }
    watchdog(const watchdog&) = delete;
    watchdog& operator=(const watchdog&) = delete;

    // Call while the child is not yet reaped, so that its pid is still its own.
    void stop()
    {
        {
            const std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    bool fired() const { return fired_; }

private:
    void watch(unsigned seconds)
    {
        std::unique_lock lock(mutex_);
        if (!wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stopped_; })) {
            fired_ = true;
            kill(child_, SIGKILL);
        }
    }

    pid_t child_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    bool fired_ = false;
    std::thread thread_;
};

}  // namespace

tool_run run_tool(const scratch_dir& dir, const std::vector<std::string>& args,
                  const tool_options& options)
{
    // The console comes through a pipe, which no file size limit affects;
    // standard error goes to a file outside dir.
    const scratch_dir capture;
    const std::string stderr_path = capture.file("stderr");
    int console_pipe[2];
    const bool console_elsewhere = options.close_stdout || !options.stdout_file.empty();
    if (options.console_on_terminal) {
        // [0] is the terminal's master side, [1] the tool's standard output.
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&console_pipe[0], &console_pipe[1], nullptr, &raw, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        fcntl(console_pipe[0], F_SETFD, FD_CLOEXEC);
        fcntl(console_pipe[1], F_SETFD, FD_CLOEXEC);
    } else if (pipe2(console_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // [0] the master side, read on a thread of its own; [1] the tool's
    // standard error.
    int errors_terminal[2] = {-1, -1};
    if (options.errors_on_terminal) {
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&errors_terminal[0], &errors_terminal[1], nullptr, &raw, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        fcntl(errors_terminal[0], F_SETFD, FD_CLOEXEC);
        fcntl(errors_terminal[1], F_SETFD, FD_CLOEXEC);
    }
    int input_pipe[2] = {-1, -1};
    if (options.stdin_writer) {
        signal(SIGPIPE, SIG_IGN);
        if (pipe2(input_pipe, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
    }

    std::vector<std::string> argv_text = {"tamberlo_orvel_verify"};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // The child starts as a copy of this process, and its peak memory
    // counts that copy: give back what earlier runs left unused.
    malloc_trim(0);
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int err = errors_terminal[1] >= 0
                            ? errors_terminal[1]
                            : open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err < 0 || dup2(console_pipe[1], 1) < 0 || dup2(err, 2) < 0 ||
            (input_pipe[0] >= 0 && dup2(input_pipe[0], 0) < 0) || chdir(dir.path().c_str()) != 0)
            _exit(127);
        // The tool starts as a shell starts it, with every signal's default
        // action, whatever this test process ignores.
        // (A shell ignores SIGINT for the commands it runs in the background,
        // and a test program may have been started as one.)
        for (const int signal_number : {SIGPIPE, SIGXFSZ, SIGINT, SIGTERM, SIGHUP})
            signal(signal_number, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!options.stdout_file.empty()) {
            const int out = open(options.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (out < 0 || dup2(out, 1) < 0)
                _exit(127);
            close(out);
        }
        if (options.close_stdout)
            close(1);
        if (options.close_stdin)
            close(0);
        if (options.file_size_limit > 0) {
            const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                               static_cast<rlim_t>(options.file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.address_space_limit > 0) {
            const rlimit limit{static_cast<rlim_t>(options.address_space_limit),
                               static_cast<rlim_t>(options.address_space_limit)};
            setrlimit(RLIMIT_AS, &limit);
        }
        if (options.errors_are_journal) {
            struct stat errors {};
            if (fstat(2, &errors) != 0)
                _exit(127);
            const std::string stream =
                std::to_string(errors.st_dev) + ":" + std::to_string(errors.st_ino);
            setenv("JOURNAL_STREAM", stream.c_str(), 1);
        } else {
            unsetenv("JOURNAL_STREAM");
        }
        execv(TOOL_PATH, argv.data());
        _exit(127);
    }
    close(console_pipe[1]);
    std::string terminal_errors;
    std::thread errors_reader;
    if (errors_terminal[1] >= 0) {
        close(errors_terminal[1]);
        errors_reader = std::thread([fd = errors_terminal[0], &terminal_errors] {
            char bytes[4096];
            ssize_t got = 0;
            // EIO once the tool has closed its side.
            while ((got = read(fd, bytes, sizeof bytes)) > 0 || (got < 0 && errno == EINTR)) {
                if (got > 0)
                    terminal_errors.append(bytes, static_cast<std::size_t>(got));
            }
            close(fd);
        });
    }
    if (console_elsewhere) {
        close(console_pipe[0]);
        console_pipe[0] = -1;
    }
    if (child < 0) {
        close(console_pipe[0]);
        if (input_pipe[0] >= 0) {
            close(input_pipe[0]);
            close(input_pipe[1]);
        }
        throw std::runtime_error("fork failed");
    }
    watchdog guard(child, options.time_limit_seconds);
    std::thread writer;
    if (input_pipe[0] >= 0) {
        close(input_pipe[0]);
        writer = std::thread([&options, fd = input_pipe[1]] {
            options.stdin_writer(fd);
            close(fd);
        });
    }

    if (options.on_start)
        options.on_start(child);
    if (options.console_unread && console_pipe[0] >= 0) {
        siginfo_t exited{};
        while (waitid(P_PID, static_cast<id_t>(child), &exited, WEXITED | WNOWAIT) != 0 &&
               errno == EINTR) {
        }
        fcntl(console_pipe[0], F_SETFL, O_NONBLOCK);
    }

    tool_run run;
    char chunk[65536];
    ssize_t got = 0;
    // A terminal's master side ends with EIO once the tool has closed it.
    while (console_pipe[0] >= 0 && ((got = read(console_pipe[0], chunk, sizeof chunk)) > 0 ||
                                    (got < 0 && errno == EINTR))) {
        if (got <= 0)
            continue;
        run.console.append(chunk, static_cast<std::size_t>(got));
        if (options.on_console)
            options.on_console(run.console, child);
        if (options.console_read_limit > 0 && run.console.size() >= options.console_read_limit)
            break;
    }
    if (console_pipe[0] >= 0)
        close(console_pipe[0]);

    // Wait for the exit without reaping, so that the watchdog cannot hit
    // another process that got the pid; then reap, with the child's usage.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    guard.stop();
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (writer.joinable())
        writer.join();
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.term_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    run.timed_out = guard.fired();
    run.peak_rss_kib = usage.ru_maxrss;
    if (errors_reader.joinable()) {
        errors_reader.join();
        run.errors = terminal_errors;
    } else {
        run.errors = capture.read("stderr");
    }
    run.result_log_exists = std::filesystem::is_regular_file(dir.file("out.log"));
    if (run.result_log_exists)
        run.result_log = dir.read("out.log");
    return run;
}

tool_run run_on_log(const std::string& log, bool event_log)
{
    const scratch_dir dir;
    dir.write("log.txt", log);
    std::vector<std::string> args = {"log.txt"};
    if (event_log)
        args.emplace_back("-evl");
    return run_tool(dir, args);
}
