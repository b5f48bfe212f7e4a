// Faults around the run: signals, descriptors, locks, resources and slow
// input. A run either does its whole work or says that it did not, and
// never dies silently.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace {

// Signals, descriptors, locks, resources and slow input: a run either does
// its whole work or says that it did not, and never dies silently.

TEST(FaultsSignals, AConsoleThatGoesAwayDoesNotEndTheRun)
{
    // tool LOG | head -c 100
    const scratch_dir dir;
    dir.write("log.txt", key_error_lines(3000));
    tool_options options = limited();
    options.console_read_limit = 100;
    const tool_run run = run_tool(dir, {"log.txt"}, options);
    EXPECT_EQ(run.term_signal, 0);
    EXPECT_EQ(run.exit_code, exit_of_key_code(0x3d62));
    EXPECT_EQ(run.result_log, key_error_records(3000));
}

TEST(FaultsSignals, AResultLogFifoWhoseReaderGoesAwayIsAFailedWrite)
{
    const scratch_dir dir;
    dir.write("log.txt", key_error_lines(5000));
    ASSERT_EQ(mkfifo(dir.file("out.log").c_str(), 0600), 0);
    const int reader = open(dir.file("out.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::thread read_a_little([reader] {
        char bytes[100];
        for (int tries = 0; tries < 500; ++tries) {
            if (read(reader, bytes, sizeof bytes) > 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        close(reader);
    });
    const tool_run run = run_tool(dir, {"log.txt"}, limited());
    read_a_little.join();
    EXPECT_EQ(run.term_signal, 0);
    EXPECT_TRUE(
        run.console.ends_with(last_key_error_summary(1, "3d62") + could_not_write("out.log")));
    EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
}

// Sends signal_number to the tool once it has reported three lines from
// standard input, then keeps the input open until the tool is gone.
tool_run run_interrupted(const scratch_dir& dir, int signal_number, const std::string& log)
{
    flag three_reported;
    flag finished;
    std::atomic<bool> signalled{false};
    const std::string third = shown(tx(3));
    tool_options options = limited();
    options.on_console = [&](const std::string& console, int pid) {
        if (!signalled && console.find(third) != std::string::npos) {
            signalled = true;
            kill(pid, signal_number);
        }
        if (console.find("Interrupted") != std::string::npos)
            finished.set();
    };
    options.stdin_writer = [&](int fd) {
        write_all(fd, log);
        finished.wait(std::chrono::seconds(30));
    };
    return run_tool(dir, {"/dev/stdin"}, options);
}

TEST(FaultsSignals, AKilledRunLeavesTheCheckpointItFound)
{
    const scratch_dir dir;
    dir.write("log.txt", key_error_lines(10));
    ASSERT_EQ(run_tool(dir, {"--quiet", "--checkpoint=cp", "log.txt"}, limited()).exit_code,
              exit_of_key_code(0x3d62));
    const std::string checkpoint = dir.read("cp");
    // Killed while it verifies what was appended.
    dir.write("log.txt", key_error_lines(200000));
    tool_options options = limited();
    std::atomic<bool> killed{false};
    options.on_console = [&](const std::string& console, int pid) {
        if (!killed && console.size() > 4096) {
            killed = true;
            kill(pid, SIGKILL);
        }
    };
    const tool_run run = run_tool(dir, {"--checkpoint=cp", "log.txt"}, options);
    ASSERT_EQ(run.term_signal, SIGKILL);
    EXPECT_EQ(dir.read("cp"), checkpoint);
    // The next run goes on from it.
    const tool_run next = run_tool(dir, {"--json", "--checkpoint=cp", "log.txt"}, limited());
    EXPECT_NE(next.console.find(R"("verified_lines":199990,"resumed_lines":10)"), std::string::npos)
        << next.console.substr(next.console.size() - 200);
    EXPECT_EQ(next.exit_code, exit_of_key_code(0x3d62));
}

TEST(FaultsSignals, InterruptedRunsEndByTheirSignalAfterAWholeRecord)
{
    const std::string log = line_of(tx(1)) + line_of(tx(2)) + line_of(tx(3));
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        const scratch_dir dir;
        const tool_run run = run_interrupted(dir, signal_number, log);
        EXPECT_EQ(run.term_signal, signal_number);
        EXPECT_EQ(run.console, BANNER + shown(tx(1)) + shown(tx(2)) + shown(tx(3)) +
                                   "\n  ! Interrupted by signal " + std::to_string(signal_number) +
                                   " after line 3 of /dev/stdin\n\n");
        EXPECT_EQ(run.result_log, tx(1) + ",OK\n" + tx(2) + ",OK\n" + tx(3) + ",OK\n" +
                                      "interrupted by signal " + std::to_string(signal_number) +
                                      ",INTERRUPTED\n");
    }
}

// Waits up to 10 s until the process waits in a kernel function whose name
// holds function (its /proc wchan), so that a signal finds it there.
bool waits_in(int pid, const std::string& function)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/wchan";
    for (int tries = 0; tries < 1000; ++tries) {
        std::ifstream in(path);
        std::string name;
        std::getline(in, name);
        if (name.find(function) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(FaultsSignals, ASignalWhileATrustedKeysFifoWaitsEndsTheRun)
{
    // The trusted keys from a FIFO nobody writes: the tool waits to open
    // it, and SIGTERM ends the run by the signal, not as a trusted-keys
    // error.
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)));
    ASSERT_EQ(mkfifo(dir.file("keys.fifo").c_str(), 0600), 0);
    tool_options options = limited();
    options.time_limit_seconds = 20;
    options.on_console = [&](const std::string& console, int pid) {
        if (console == BANNER && waits_in(pid, "wait_for_partner"))
            kill(pid, SIGTERM);
    };
    const tool_run run = run_tool(dir, {"--trusted-keys=keys.fifo", "log.txt"}, options);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.term_signal, SIGTERM);
    EXPECT_EQ(run.console, BANNER + "\n  ! Interrupted by signal 15 after line 0 of log.txt\n\n");
    EXPECT_FALSE(run.result_log_exists);
}

TEST(FaultsSignals, OneSignalEndsARunWhoseConsoleIsBlocked)
{
    // Standard output a full pipe nobody reads, or a terminal paused with
    // Ctrl-S: one SIGTERM ends the run, by the signal, promptly, with the
    // result log's last record.
    for (const bool terminal : {false, true}) {
        SCOPED_TRACE(terminal ? "terminal" : "pipe");
        const scratch_dir dir;
        std::atomic<double> signalled_at{0};
        const auto started = std::chrono::steady_clock::now();
        tool_options options = limited();
        options.time_limit_seconds = 30;
        options.console_unread = true;
        options.console_on_terminal = terminal;
        // Input that never ends, until the tool is gone.
        options.stdin_writer = [](int fd) {
            const std::string lines = key_error_lines(1000);
            while (write_all(fd, lines)) {
            }
        };
        std::thread signaller;
        options.on_start = [&](int pid) {
            signaller = std::thread([&, pid] {
                if (!waits_in(pid, terminal ? "wait_woken" : "pipe_write"))
                    return;
                signalled_at =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
                        .count();
                kill(pid, SIGTERM);
            });
        };
        const tool_run run = run_tool(dir, {"--result-log=r.out", "/dev/stdin"}, options);
        signaller.join();
        ASSERT_GT(signalled_at.load(), 0.0) << "the console never filled";
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.term_signal, SIGTERM);
        EXPECT_LT(run.seconds - signalled_at, 3.0);
        const std::string result_log = dir.read("r.out");
        EXPECT_TRUE(result_log.ends_with(",INTERRUPTED\n"))
            << printable(result_log.substr(result_log.size() > 80 ? result_log.size() - 80 : 0));
    }
}

TEST(FaultsSignals, AnInterruptIsAWarningInTheJournal)
{
    // journalctl -p err lists failed runs, not the ones an operator stopped.
    const scratch_dir dir;
    flag signalled;
    tool_options options = limited();
    options.errors_are_journal = true;
    options.stdin_writer = [&](int fd) {
        write_all(fd, line_of(tx(1)) + line_of(tx(2)) + line_of(tx(3)));
        signalled.wait(std::chrono::seconds(30));
    };
    std::thread signaller;
    options.on_start = [&](int pid) {
        signaller = std::thread([&, pid] {
            // Waiting for more input once the three lines are read.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (waits_in(pid, "poll"))
                kill(pid, SIGTERM);
            signalled.set();
        });
    };
    const tool_run run = run_tool(dir, {"--quiet", "/dev/stdin"}, options);
    signaller.join();
    EXPECT_EQ(run.term_signal, SIGTERM);
    EXPECT_EQ(run.errors, "<4>tamberlo_orvel_verify: /dev/stdin:3: interrupted by signal 15\n");
    EXPECT_EQ(run.console, "");
}

TEST(FaultsDescriptors, ClosedStandardDescriptorsAreNeverTheResultLog)
{
    // tool LOG <&- >&-
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)) + line_of(tx(2)));
    tool_options options = limited();
    options.close_stdin = true;
    options.close_stdout = true;
    const tool_run run = run_tool(dir, {"log.txt"}, options);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.result_log, tx(1) + ",OK\n" + tx(2) + ",OK\n");
}

TEST(FaultsDescriptors, AResultLogThatIsTheStandardOutputIsRefused)
{
    // tool LOG > out.log, and the same with another result log
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)));
    for (const auto& [args, file] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"log.txt"}, "out.log"}, {{"--result-log=r.txt", "log.txt"}, "r.txt"}}) {
        tool_options options = limited();
        options.stdout_file = file;
        const tool_run run = run_tool(dir, args, options);
        EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
        EXPECT_EQ(dir.read(file),
                  BANNER + "\n  ! Could not open " + file + ": it is the standard output\n\n");
    }
}

// The result log's records up to its last, which must say why it ends
// there; records of a run that went the whole way otherwise.
void expect_incomplete(const std::string& result_log, const std::string& whole_run,
                       const std::string& why)
{
    ASSERT_TRUE(result_log.ends_with(",INCOMPLETE\n")) << printable(result_log);
    const std::size_t last = result_log.rfind('\n', result_log.size() - 2);
    const std::string records = last == std::string::npos ? "" : result_log.substr(0, last + 1);
    EXPECT_TRUE(whole_run.starts_with(records)) << printable(records);
    EXPECT_EQ(result_log.substr(records.size()), why);
}

TEST(FaultsFiles, AResultLogThatCannotBeWrittenSaysSoInItsLastRecord)
{
    // ulimit -f: however the limit falls, on a record's end or inside one,
    // the result log ends with whole records and the failure.
    const scratch_dir dir;
    write_key_error_log(dir.file("log.txt"), 200);
    const std::string whole = key_error_records(200);
    const std::string why = "could not write r.out: File too large,INCOMPLETE\n";
    for (long limit = 990; limit <= 1030; limit += 5) {
        SCOPED_TRACE(limit);
        tool_options options = limited();
        options.file_size_limit = limit;
        const tool_run run = run_tool(dir, {"--quiet", "--result-log=r.out", "log.txt"}, options);
        EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
        EXPECT_EQ(run.errors, "tamberlo_orvel_verify: r.out: could not write (File too large)\n");
        const std::string result_log = dir.read("r.out");
        EXPECT_LE(result_log.size(), static_cast<std::size_t>(limit));
        // Cut back no further than the record that makes room.
        EXPECT_GT(result_log.size() + 40, static_cast<std::size_t>(limit)) << result_log.size();
        expect_incomplete(result_log, whole, why);
    }
    // The plain form's result log stays as it has always been.
    tool_options options = limited();
    options.file_size_limit = 1000;
    EXPECT_EQ(run_tool(dir, {"log.txt"}, options).result_log, whole.substr(0, 1000));
}

TEST(FaultsLocks, AResultLogAnotherRunIsWritingIsLeftAlone)
{
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)));
    const std::string refused =
        BANNER + "\n  ! Could not open out.log: another run is writing it\n\n";

    // A second run while the first still reads its slow input.
    flag second_done;
    tool_run first;
    std::thread first_run([&] {
        const scratch_dir input;
        tool_options options = limited();
        options.stdin_writer = [&](int fd) {
            write_all(fd, line_of(tx(7)));
            second_done.wait(std::chrono::seconds(60));
        };
        first = run_tool(dir, {"/dev/stdin"}, options);
    });
    // The first run holds out.log once its banner and first line show;
    // wait for its lock rather than guess.
    for (int tries = 0; tries < 3000; ++tries) {
        const int fd = open(dir.file("out.log").c_str(), O_RDONLY | O_CLOEXEC);
        const bool held = fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) != 0;
        if (fd >= 0)
            close(fd);
        if (held)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const tool_run second = run_tool(dir, {"log.txt"}, limited());
    second_done.set();
    first_run.join();
    EXPECT_EQ(second.console, refused);
    EXPECT_EQ(second.exit_code, EXIT_FILE_ERROR);
    EXPECT_EQ(first.exit_code, 0);
    EXPECT_EQ(first.result_log, tx(7) + ",OK\n");

    // A lock held by anyone keeps the file as it is.
    dir.write("out.log", "earlier records\n");
    const int held = open(dir.file("out.log").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const tool_run run = run_tool(dir, {"log.txt"}, limited());
    close(held);
    EXPECT_EQ(run.console, refused);
    EXPECT_EQ(dir.read("out.log"), "earlier records\n");

    // Once no one holds it, the run's records replace all of it.
    dir.write("out.log", std::string(4000, 'x'));
    EXPECT_EQ(run_tool(dir, {"log.txt"}, limited()).exit_code, 0);
    EXPECT_EQ(dir.read("out.log"), tx(1) + ",OK\n");
}

#ifndef TEST_SANITIZED
// The address space limits of `ulimit -v`: the sanitizers reserve more
// address space than any of them, so these run in the plain build only.
TEST(FaultsResources, WorkersThatCannotStartLeaveTheBytesAsTheyAre)
{
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)) + key_field(KEY) + "," + tx(2) + "," +
                             signature(KEY, tx(1)) + "\n" + line_of(tx(3)));
    const tool_run unlimited = run_tool(dir, {"log.txt"}, limited());
    for (const long megabytes : {20L, 24L, 40L, 60L, 120L, 250L}) {
        SCOPED_TRACE(megabytes);
        tool_options options = limited();
        options.address_space_limit = megabytes * 1000 * 1000;
        const tool_run run = run_tool(dir, {"log.txt"}, options);
        EXPECT_EQ(run.console, unlimited.console);
        EXPECT_EQ(run.result_log, unlimited.result_log);
        EXPECT_EQ(run.exit_code, unlimited.exit_code);
        EXPECT_EQ(run.errors, "");
    }
}

TEST(FaultsWorkers, ManyWorkersUnderAMemoryLimitAreFewerWorkers)
{
    // ulimit -v 1000000 on a host whose default is a worker per hardware
    // thread: fewer workers check the lines, with the same output.
    const scratch_dir dir;
    {
        file_writer log(dir.file("log.txt"));
        for (long n = 1; n <= 6000; ++n)
            log << (n % 3 == 0 ? line_of(tx(1 + n % 2)) : one_off_key_line(n));
    }
    const tool_run expected = run_tool(dir, {"--json", "--jobs=2", "log.txt"}, limited());
    ASSERT_EQ(expected.exit_code, EXIT_COUNTED_ERRORS);
    for (const char* jobs : {"--jobs=2", "--jobs=128", "--jobs=1024"}) {
        SCOPED_TRACE(jobs);
        tool_options options = limited();
        options.address_space_limit = 1000 * 1000 * 1000;
        const tool_run run = run_tool(dir, {"--json", jobs, "log.txt"}, options);
        EXPECT_EQ(run.console, expected.console);
        EXPECT_EQ(run.result_log, expected.result_log);
        EXPECT_EQ(run.exit_code, expected.exit_code);
        EXPECT_EQ(run.errors, "");
    }

    // How many: as many as fit in half of the address space left, each
    // with room for a full key store; far fewer than 128 under 1 GB.
    flag counted;
    std::atomic<int> threads{0};
    tool_options options = limited();
    options.address_space_limit = 1000 * 1000 * 1000;
    options.stdin_writer = [&](int fd) {
        write_all(fd, line_of(tx(1)));
        counted.wait(std::chrono::seconds(30));
    };
    std::thread counter;
    options.on_start = [&](int pid) {
        counter = std::thread([&, pid] {
            // Its workers started, the tool waits for more input.
            (void)waits_in(pid, "poll");
            std::ifstream status("/proc/" + std::to_string(pid) + "/status");
            for (std::string line; std::getline(status, line);) {
                if (line.starts_with("Threads:"))
                    threads = std::stoi(line.substr(8));
            }
            counted.set();
        });
    };
    const tool_run run = run_tool(dir, {"--quiet", "--jobs=128", "/dev/stdin"}, options);
    counter.join();
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_GT(threads.load(), 1);
    EXPECT_LT(threads.load(), 64);
}

TEST(FaultsResources, RunningOutOfMemoryIsAFailureNeverAVerdict)
{
    // A line of 24 MiB between two good ones: with too little memory for
    // it, the run ends there; with enough, it is a key error like always.
    const scratch_dir dir;
    std::string log = line_of(tx(1)) + std::string(24 * MIB, 'A') + "," + tx(2) + ",00\n";
    log += line_of(tx(3));
    dir.write("log.txt", log);
    const tool_run unlimited = run_tool(dir, {"log.txt"}, limited());
    ASSERT_EQ(unlimited.exit_code, EXIT_COUNTED_ERRORS);
    int failures_at_the_long_line = 0;
    int verdicts = 0;
    for (long megabytes = 24; megabytes <= 96; megabytes += 6) {
        SCOPED_TRACE(megabytes);
        tool_options options = limited();
        options.address_space_limit = megabytes * 1000 * 1000;
        const tool_run run = run_tool(dir, {"log.txt"}, options);
        EXPECT_EQ(run.errors, "");
        if (run.exit_code == EXIT_FILE_ERROR) {
            // Ended at a line, with every line before it reported as always.
            const std::size_t at = run.console.find("\n  ! Out of memory at line ");
            ASSERT_NE(at, std::string::npos) << run.console;
            EXPECT_TRUE(unlimited.console.starts_with(run.console.substr(0, at)));
            const int line = std::stoi(run.console.substr(at + 27));
            EXPECT_TRUE(
                run.console.ends_with(" at line " + std::to_string(line) + " of log.txt\n\n"));
            std::string records;
            for (int n = 1; n < line; ++n)
                records += tx(n) + (n == 2 ? ", PUBKEY ERROR\n" : ",OK\n");
            EXPECT_EQ(run.result_log, records);
            failures_at_the_long_line += line == 2 ? 1 : 0;
        } else {
            ++verdicts;
            EXPECT_EQ(run.console, unlimited.console);
            EXPECT_EQ(run.result_log, unlimited.result_log);
            EXPECT_EQ(run.exit_code, unlimited.exit_code);
        }
    }
    EXPECT_GT(failures_at_the_long_line, 0);
    EXPECT_GT(verdicts, 0);

    // In the options form the result log ends with the failure.
    int marked = 0;
    for (long megabytes = 24; megabytes <= 96; megabytes += 12) {
        SCOPED_TRACE(megabytes);
        tool_options options = limited();
        options.address_space_limit = megabytes * 1000 * 1000;
        const tool_run run = run_tool(dir, {"--quiet", "--result-log=q.out", "log.txt"}, options);
        if (run.exit_code != EXIT_FILE_ERROR)
            continue;
        const std::string prefix = "tamberlo_orvel_verify: log.txt:";
        ASSERT_TRUE(run.errors.starts_with(prefix)) << run.errors;
        const std::string line =
            run.errors.substr(prefix.size(), run.errors.find(':', prefix.size()) - prefix.size());
        expect_incomplete(dir.read("q.out"), unlimited.result_log,
                          "out of memory at line " + line + " of log.txt,INCOMPLETE\n");
        ++marked;
    }
    EXPECT_GT(marked, 0);
}
#endif

TEST(FaultsSlowInput, FifosWithoutTheirOtherEndNeitherHideTheBannerNorHang)
{
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)));
    // out.log with no reader: fails at once instead of waiting for one.
    ASSERT_EQ(mkfifo(dir.file("out.log").c_str(), 0600), 0);
    tool_options options = limited();
    options.time_limit_seconds = 20;
    tool_run run = run_tool(dir, {"log.txt"}, options);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.console, BANNER + could_not_open("out.log"));
    EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);

    // A log with no writer: the tool waits, but its banner is out.
    ASSERT_EQ(mkfifo(dir.file("log.fifo").c_str(), 0600), 0);
    options.time_limit_seconds = 2;
    run = run_tool(dir, {"log.fifo"}, options);
    EXPECT_TRUE(run.timed_out);
    EXPECT_EQ(run.console, BANNER);
}

TEST(FaultsSlowInput, AResultLogFifoIsWrittenAtItsReadersPace)
{
    const scratch_dir dir;
    dir.write("log.txt", key_error_lines(5000));
    ASSERT_EQ(mkfifo(dir.file("out.log").c_str(), 0600), 0);
    const int reader = open(dir.file("out.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::string received;
    std::atomic<bool> tool_done{false};
    std::thread read_slowly([&] {
        char bytes[4096];
        for (;;) {
            const ssize_t got = read(reader, bytes, sizeof bytes);
            if (got > 0) {
                received.append(bytes, static_cast<std::size_t>(got));
            } else if (got == 0 && tool_done) {
                break;
            }
            // Far slower than the tool writes: it must wait for the reader.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        close(reader);
    });
    const tool_run run = run_tool(dir, {"log.txt"}, limited());
    tool_done = true;
    read_slowly.join();
    EXPECT_EQ(run.exit_code, exit_of_key_code(0x3d62));
    EXPECT_EQ(received, key_error_records(5000));
}

TEST(FaultsSlowInput, VerdictsShowBeforeTheToolWaitsForMoreInput)
{
    const scratch_dir dir;
    flag first_shown;
    bool shown_in_time = false;
    const std::string first = shown(tx(1));
    tool_options options = limited();
    options.on_console = [&](const std::string& console, int) {
        if (console.find(first) != std::string::npos)
            first_shown.set();
    };
    options.stdin_writer = [&](int fd) {
        write_all(fd, line_of(tx(1)));
        shown_in_time = first_shown.wait(std::chrono::seconds(5));
        write_all(fd, line_of(tx(2)));
    };
    const tool_run run = run_tool(dir, {"/dev/stdin"}, options);
    EXPECT_TRUE(shown_in_time);
    expect_run(run, BANNER + shown(tx(1)) + shown(tx(2)) + clean_summary(2),
               tx(1) + ",OK\n" + tx(2) + ",OK\n", 0);
}

}  // namespace
