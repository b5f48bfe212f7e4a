// Runs the built executable in a scratch working directory and collects
// what it printed, what it wrote to out.log and how it exited.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct tool_run {
    std::string console;  // standard output
    std::string errors;   // standard error; the tool never writes there
    std::string result_log;
    bool result_log_exists = false;
    int exit_code = -1;   // -1 when the tool did not exit normally
    int term_signal = 0;  // the signal that ended it, if one did
    // Peak resident memory of the child (ru_maxrss from wait4), in KiB. It
    // includes what the test process had resident when it forked (a few
    // MiB), so it is an upper bound of the tool's own peak.
    long peak_rss_kib = 0;
    double seconds = 0;      // wall time from fork to exit
    bool timed_out = false;  // killed on reaching tool_options::time_limit_seconds
};

struct tool_options {
    // Largest file the tool may write (RLIMIT_FSIZE), 0 for no limit.
    long file_size_limit = 0;
    // When set, the tool's standard input is a pipe, and this runs on a
    // thread of its own with the pipe's write end, which is closed once it
    // returns; give "/dev/stdin" as the log to verify what it writes. Writes
    // after the tool has exited fail with EPIPE (SIGPIPE is ignored).
    std::function<void(int fd)> stdin_writer;
    // The tool is killed (SIGKILL) when it runs longer, 0 for no limit.
    unsigned time_limit_seconds = 0;
    // Standard output is a pseudo-terminal (in raw mode, so that bytes pass
    // unchanged) instead of a pipe.
    bool console_on_terminal = false;
    // Standard error is a pseudo-terminal too (in raw mode), read into
    // tool_run::errors.
    bool errors_on_terminal = false;
    // Standard error is the journal: JOURNAL_STREAM names it.
    bool errors_are_journal = false;
    // The console is read up to this many bytes, then its pipe is closed,
    // as `| head -c N` does; 0 reads it all.
    std::size_t console_read_limit = 0;
    // The tool starts with standard input or output closed, or with
    // standard output sent to this file of the scratch directory (created
    // or truncated, as `> FILE` does).
    bool close_stdin = false;
    bool close_stdout = false;
    std::string stdout_file;
    // Largest address space of the tool (RLIMIT_AS, as `ulimit -v`), 0 for
    // no limit.
    long address_space_limit = 0;
    // The console is not read until the tool has exited, as a pipe nobody
    // reads or a terminal paused with Ctrl-S.
    bool console_unread = false;
    // Called with the tool's process id once it is started.
    std::function<void(int pid)> on_start;
    // Called with the console read so far, after every piece of it, and the
    // tool's process id.
    std::function<void(const std::string& console, int pid)> on_console;
};

// A fresh scratch directory, removed with everything in it at scope end.
class scratch_dir {
public:
    // In the system's temporary directory, or in base.
    explicit scratch_dir(const std::string& base = "");
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;

private:
    std::string path_;
};

// Runs the tool with args (the program name is added) in dir.
tool_run run_tool(const scratch_dir& dir, const std::vector<std::string>& args,
                  const tool_options& options = {});

// Writes log as "log.txt" in a fresh directory and runs the tool on it.
tool_run run_on_log(const std::string& log, bool event_log = false);
