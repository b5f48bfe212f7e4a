// The three renderings of a run, made from a run's record by hand, and the
// record of whole runs in process as the JSON document shows it.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "console.hpp"
#include "diagnostics.hpp"
#include "in_process.hpp"
#include "progress.hpp"
#include "report.hpp"
#include "test_support.hpp"

namespace {

using json = nlohmann::ordered_json;

// A console whose bytes the test reads back.
class captured_console {
public:
    captured_console() : fd_(memfd_create("console", MFD_CLOEXEC)), writer_(fd_) {}
    ~captured_console() { close(fd_); }
    captured_console(const captured_console&) = delete;
    captured_console& operator=(const captured_console&) = delete;

    console_writer& writer() { return writer_; }
    std::string text()
    {
        writer_.flush();
        std::string bytes(static_cast<std::size_t>(lseek(fd_, 0, SEEK_END)), '\0');
        (void)!pread(fd_, bytes.data(), bytes.size(), 0);
        return bytes;
    }

private:
    int fd_;
    console_writer writer_;
};

run_options options_of(report_style style, log_mode mode = log_mode::transaction)
{
    run_options options;
    options.logs = {"a.log", "b.log"};
    options.style = style;
    options.mode = mode;
    return options;
}

// One line of every fate, the second of them in the second log.
std::vector<line_report> lines_of_every_fate(const key_identity& key)
{
    std::vector<line_report> lines;
    const line_fate fates[] = {line_fate::key_error, line_fate::bad_signature,
                               line_fate::untrusted_key, line_fate::no_sequence_number,
                               line_fate::ok};
    uint32_t counter = 1;
    for (const line_fate fate : fates) {
        line_report line;
        line.where = {lines.size() == 1 ? 1U : 0U, 10 + lines.size()};
        line.counter = counter;
        line.data = "D";
        line.signature = "S";
        line.fate = fate;
        line.key_code = fate == line_fate::key_error ? -0x3d62 : 0;
        line.key = fate == line_fate::key_error ? nullptr : &key;
        counter += fate == line_fate::key_error ? 0 : 1;
        lines.push_back(line);
    }
    return lines;
}

std::string rendered(const run_options& options, const std::vector<line_report>& lines,
                     const run_result& result)
{
    captured_console console;
    const std::unique_ptr<report> out = make_report(options, console.writer());
    out->start();
    for (const line_report& line : lines)
        out->line(line);
    out->end(result);
    return console.text();
}

TEST(Reports, EveryFateInEveryForm)
{
    key_identity key;
    key.sha256.fill(0xab);
    run_result result;
    result.lines_checked = 4;
    result.lines_of(line_fate::ok) = 1;
    result.lines_of(line_fate::bad_signature) = 3;
    result.status = run_status::counted_errors;
    const std::vector<line_report> lines = lines_of_every_fate(key);

    EXPECT_EQ(rendered(options_of(report_style::console), lines, result),
              BANNER + key_error(1, "3d62") + shown("D", "S") + verify_error(1) + shown("D", "S") +
                  untrusted_key(2) + shown("D", "S") + sequence_number_error(3) + shown("D", "S") +
                  error_count_summary(3));
    std::string ab;
    for (int i = 0; i < 32; ++i)
        ab += "ab";
    EXPECT_EQ(rendered(options_of(report_style::quiet), lines, result),
              quiet_problem("a.log", 10, "key does not parse (-0x3d62)") +
                  quiet_problem("b.log", 11, "signature does not verify") +
                  quiet_problem("a.log", 12, "untrusted key sha256:" + ab) +
                  quiet_problem("a.log", 13, "no usable sequence number") +
                  quiet_summary("a.log, b.log", 4, 1, 3));
    // JSON shows nothing until the end.
    const json document = json::parse(rendered(options_of(report_style::json), lines, result));
    EXPECT_EQ(document["lines"]["checked"], 4);
    EXPECT_TRUE(document["problems"].empty());
}

TEST(Reports, EveryRunErrorInEveryForm)
{
    const struct {
        run_error error;
        std::string console;
        std::string quiet;
        const char* kind;
    } cases[] = {
        {{run_error_kind::trusted_keys, "k", "bad", 0},
         "\n  ! Could not use the trusted keys in k: bad\n\n",
         "k: trusted keys: bad\n",
         "trusted_keys"},
        {{run_error_kind::trusted_keys, "k", "bad", 4},
         "\n  ! Could not use the trusted keys in k, line 4: bad\n\n",
         "k:4: trusted keys: bad\n",
         "trusted_keys"},
        {{run_error_kind::open_log, "l", "gone", 0},
         could_not_open("l"),
         "l: could not open (gone)\n",
         "open_log"},
        {{run_error_kind::read_log, "l", "cut", 0},
         could_not_read("l"),
         "l: could not read (cut)\n",
         "read_log"},
        {{run_error_kind::open_result_log, "o", "no", 0},
         could_not_open("o"),
         "o: could not open (no)\n",
         "open_result_log"},
        {{run_error_kind::result_log_is_log, "o", "it is the log being verified", 0},
         result_log_is_the_log("o"),
         "o: could not open (it is the log being verified)\n",
         "result_log_is_log"},
        {{run_error_kind::result_log_is_output, "o", "it is the standard output", 0},
         "\n  ! Could not open o: it is the standard output\n\n",
         "o: could not open (it is the standard output)\n",
         "result_log_is_output"},
        {{run_error_kind::result_log_locked, "o", "another run is writing it", 0},
         "\n  ! Could not open o: another run is writing it\n\n",
         "o: could not open (another run is writing it)\n",
         "result_log_locked"},
        {{run_error_kind::write_result_log, "o", "full", 0},
         could_not_write("o"),
         "o: could not write (full)\n",
         "write_result_log"},
        {{run_error_kind::out_of_memory, "l", "none", 12},
         "\n  ! Out of memory at line 12 of l\n\n",
         "l:12: out of memory\n",
         "out_of_memory"},
        {{run_error_kind::interrupted, "l", "signal 2", 3},
         "\n  ! Interrupted by signal 2 after line 3 of l\n\n",
         "l:3: interrupted by signal 2\n",
         "interrupted"},
        // Before any line: no line 0.
        {{run_error_kind::interrupted, "l", "signal 15", 0},
         "\n  ! Interrupted by signal 15 after line 0 of l\n\n",
         "l: interrupted by signal 15\n",
         "interrupted"},
        {{run_error_kind::history_changed, "l", "lines 1 to 9 differ", 1},
         "\n  ! History changed: l, line 1: lines 1 to 9 differ\n\n",
         "l:1: history changed: lines 1 to 9 differ\n",
         "history_changed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        run_result result;
        result.error = c.error;
        result.status = run_status::file_error;
        EXPECT_EQ(rendered(options_of(report_style::console), {}, result), BANNER + c.console);
        // The quiet form says it on standard error, and nothing else.
        EXPECT_EQ(rendered(options_of(report_style::quiet), {}, result), "");
        EXPECT_EQ(quiet_error_texts(c.error, false).front() + "\n", c.quiet);
        const json error =
            json::parse(rendered(options_of(report_style::json), {}, result))["error"];
        EXPECT_EQ(error["kind"], c.kind);
        EXPECT_EQ(error["path"], c.error.path);
        EXPECT_EQ(error["message"], c.error.message);
        // "line" only where a line is to blame.
        EXPECT_EQ(error.contains("line"), c.error.line != 0);
        if (c.error.line != 0) {
            EXPECT_EQ(error["line"], c.error.line);
        }
    }
}

TEST(Reports, AWriteErrorFollowsTheSummary)
{
    run_result result;
    result.lines_checked = 1;
    result.lines_of(line_fate::ok) = 1;
    result.write_error = run_error{run_error_kind::write_result_log, "o", "full", 0};
    EXPECT_EQ(rendered(options_of(report_style::console, log_mode::event), {}, result),
              BANNER + EVENT_MODE + clean_summary(1) + could_not_write("o"));
    // The quiet form says nothing of a sound log: the failure is said on
    // standard error, and no summary of "0 errors" reads as success.
    result.status = run_status::file_error;
    EXPECT_EQ(rendered(options_of(report_style::quiet), {}, result), "");
}

TEST(Reports, AQuietCleanRunPrintsNothing)
{
    // As cron wants it: output only when something is wrong.
    run_result result;
    result.lines_checked = 3;
    result.lines_of(line_fate::ok) = 3;
    key_seen seen;
    seen.lines = 3;
    result.keys.push_back(seen);
    EXPECT_EQ(rendered(options_of(report_style::quiet), {}, result), "");
    result.status = run_status::counted_errors;
    result.missing = {{4, 4}};
    result.missing_numbers = 1;
    EXPECT_TRUE(rendered(options_of(report_style::quiet), {}, result)
                    .starts_with(quiet_missing("a.log, b.log", 4, 4)));
}

TEST(Reports, RunErrorsOfTheQuietAndJsonFormsGoToStandardError)
{
    const scratch_dir dir;
    dir.write("log.txt", line_of(tx(1)));
    for (const char* form : {"--quiet", "--json"}) {
        SCOPED_TRACE(form);
        const tool_run run = run_in_process(dir, {form, "missing.txt"});
        EXPECT_EQ(
            run.errors,
            "tamberlo_orvel_verify: missing.txt: could not open (No such file or directory)\n");
        EXPECT_EQ(run.exit_code, EXIT_FILE_ERROR);
        EXPECT_EQ(run.console.find("could not open"), std::string::npos) << run.console;
    }
    // The console form keeps the plain form's bytes, and nothing on
    // standard error.
    const tool_run console = run_in_process(dir, {"--jobs=0", "missing.txt"});
    EXPECT_EQ(console.console, BANNER + could_not_open("missing.txt"));
    EXPECT_EQ(console.errors, "");
    // A clean quiet run prints nothing anywhere.
    const tool_run clean = run_in_process(dir, {"--quiet", "log.txt"});
    EXPECT_EQ(clean.console + clean.errors, "");
    EXPECT_EQ(clean.exit_code, 0);
}

TEST(Reports, TheJournalGetsEachLinesPriority)
{
    struct stat file {};
    ASSERT_EQ(stat("/dev/null", &file), 0);
    const std::string named = std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino);
    EXPECT_TRUE(is_journal_stream(file, named.c_str()));
    for (const std::string& other :
         {std::string(), std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino + 1),
          std::to_string(file.st_dev + 1) + ":" + std::to_string(file.st_ino),
          std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino) + "x",
          std::to_string(file.st_dev) + std::to_string(file.st_ino), ":" + named, named + ":"}) {
        SCOPED_TRACE(other);
        EXPECT_FALSE(is_journal_stream(file, other.c_str()));
    }
    EXPECT_FALSE(is_journal_stream(file, nullptr));

    // A run whose standard error is the journal marks its errors <3>, its
    // interruptions <4>.
    const scratch_dir dir;
    dir.write("err", "");
    const int fd = open(dir.file("err").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(fstat(fd, &file), 0);
    const std::string journal = std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino);
    {
        diagnostics errors(fd, journal.c_str());
        EXPECT_TRUE(errors.is_journal());
        errors.message(message_priority::error, "a");
        errors.message(message_priority::warning, "b");
        errors.message(message_priority::info, "c");
        diagnostics elsewhere(fd, named.c_str());
        EXPECT_FALSE(elsewhere.is_journal());
        elsewhere.message(message_priority::error, "d");
    }
    close(fd);
    EXPECT_EQ(dir.read("err"),
              "<3>tamberlo_orvel_verify: a\n<4>tamberlo_orvel_verify: b\n"
              "<6>tamberlo_orvel_verify: c\ntamberlo_orvel_verify: d\n");
}

TEST(Reports, UnderTheJournalAPathsLineEndDoesNotSplitAMessage)
{
    const scratch_dir dir;
    dir.write(".errors", "");
    struct stat file {};
    ASSERT_EQ(stat(dir.file(".errors").c_str(), &file), 0);
    const std::string journal = std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino);
    in_process_settings settings;
    settings.journal_stream = journal.c_str();
    const tool_run run = run_in_process(dir, {"--quiet", "no\nsuch.log"}, settings);
    EXPECT_EQ(run.errors,
              "<3>tamberlo_orvel_verify: no\\x0asuch.log: could not open (No such file or "
              "directory)\n");
}

TEST(Reports, AnErrorThatNamesLinesSaysEachOnItsOwn)
{
    run_result result;
    result.error = run_error{run_error_kind::history_changed, "t.log", "lines 1 to 9 differ", 1};
    result.error->lines = {{4, "signature does not verify"}, {7, "it verifies now"}};
    result.status = run_status::history_changed;
    EXPECT_EQ(rendered(options_of(report_style::console), {}, result),
              BANNER + "\n  ! History changed: t.log, line 4: signature does not verify\n\n" +
                  "\n  ! History changed: t.log, line 7: it verifies now\n\n");
    EXPECT_EQ(quiet_error_texts(*result.error, false),
              (std::vector<std::string>{"t.log:4: history changed: signature does not verify",
                                        "t.log:7: history changed: it verifies now"}));
    EXPECT_EQ(json::parse(rendered(options_of(report_style::json), {}, result))["error"]["lines"],
              json::parse(R"([{"line":4,"message":"signature does not verify"},
                              {"line":7,"message":"it verifies now"}])"));
}

TEST(Reports, UnderTheJournalEveryQuietLineCarriesItsPriority)
{
    const int fd = memfd_create("journal", MFD_CLOEXEC);
    struct stat file {};
    ASSERT_EQ(fstat(fd, &file), 0);
    const std::string journal = std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino);
    run_options options = options_of(report_style::quiet);
    // A line end in a path must not split a line the journal files.
    options.logs = {"a\nb.log"};
    run_result result;
    result.earlier_problems.push_back({"old\n.log", 3, line_fate::bad_signature, 0, {}, 0, ""});
    result.lines_checked = 2;
    result.lines_of(line_fate::bad_signature) = 2;
    result.missing = {{5, 5}};
    result.missing_numbers = 1;
    line_report line;
    line.where = {0, 8};
    line.fate = line_fate::bad_signature;
    {
        console_writer console(fd, journal.c_str());
        EXPECT_TRUE(console.is_journal());
        const std::unique_ptr<report> quiet = make_report(options, console);
        quiet->resumed(result);
        quiet->line(line);
        quiet->end(result);
    }
    std::string bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
    (void)!pread(fd, bytes.data(), bytes.size(), 0);
    close(fd);
    EXPECT_EQ(bytes,
              "<4>old\\x0a.log:3: signature does not verify (found in an earlier run)\n"
              "<3>a\\x0ab.log:8: signature does not verify\n"
              "<3>a\\x0ab.log: missing sequence numbers 5 to 5 (1)\n"
              "<6>a\\x0ab.log: 2 lines checked, 0 ok, 3 errors\n");
}

TEST(Reports, KeysBeyondTheListAreCountedByTheirLines)
{
    run_result result;
    result.lines_checked = 7;
    result.lines_of(line_fate::ok) = 6;
    result.lines_of(line_fate::bad_signature) = 1;
    key_seen seen;
    seen.key.sha256.fill(0xcd);
    seen.key.type = {'R', 'S', 'A'};
    seen.lines = 2;
    result.keys.push_back(seen);
    result.key_lines_omitted = 5;
    result.status = run_status::counted_errors;
    std::string cd;
    for (int i = 0; i < 32; ++i)
        cd += "cd";
    EXPECT_EQ(rendered(options_of(report_style::quiet), {}, result),
              quiet_summary("a.log, b.log", 7, 6, 1) + quiet_key("a.log, b.log", cd, "RSA", 2) +
                  "a.log, b.log: 5 line(s) signed by keys not listed (only the first 1000 are)\n");
    const json document = json::parse(rendered(options_of(report_style::json), {}, result));
    EXPECT_EQ(document["keys"].size(), 1U);
    EXPECT_EQ(document["key_lines_omitted"], 5);
    result.key_lines_omitted = 0;
    EXPECT_EQ(rendered(options_of(report_style::quiet), {}, result).find("not listed"),
              std::string::npos);
}

TEST(Reports, JsonStringsAreWrittenAsTheJsonLibraryWritesThem)
{
    // The document is written without a tree, byte for byte as the JSON
    // library dumped it before (ASCII, U+FFFD for what is not UTF-8).
    const std::string paths[] = {
        "plain.log",
        std::string("\x00\x01\x1f\x7f \"\\\b\f\n\r\t", 12),
        "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
        "\xff\xfe\x80\xc0\xaf\xc1\xbf\xf5\x80",
        "\xe2\x82"
        "A\xe2\x82",
        "\xe0\x80\x80\xe0\xa0\x80\xed\xa0\x80\xed\x9f\xbf",
        "\xf0\x8f\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xf4\x90\x80\x80",
        "\xf0\x9f\x98",
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(printable(path));
        run_result result;
        result.error = run_error{run_error_kind::open_log, path, "m", 0};
        result.status = run_status::file_error;
        run_options options = options_of(report_style::json);
        options.logs = {path};
        const std::string document = rendered(options, {}, result);
        const std::string expected = json(path).dump(-1, ' ', true, json::error_handler_t::replace);
        std::string library_form;
        for (const char c : expected)
            library_form += c == '\x7f' ? std::string("\\u007f") : std::string(1, c);
        EXPECT_TRUE(document.starts_with(R"({"version":1,"logs":[)" + library_form + "],"))
            << document;
        EXPECT_NE(document.find(R"("path":)" + library_form + ","), std::string::npos);
        EXPECT_EQ(json::parse(document)["error"]["path"], json::parse(library_form));
    }
}

TEST(Reports, ProgressSaysLinesShareRateAndTimeLeft)
{
    progress_sample sample;
    sample.lines_checked = 1234567;
    sample.bytes_read = 25 * 1024 * 1024;
    sample.bytes_total = 100 * 1024 * 1024;
    EXPECT_EQ(progress_text(sample, 10.0),
              "1,234,567 lines checked, 25% read, 123,456 lines/s, 0:30 left");
    EXPECT_EQ(progress_text(sample, 1300.0),
              "1,234,567 lines checked, 25% read, 949 lines/s, 1:05:00 left");
    // Without the sizes of the logs (a pipe), the bytes instead of a share.
    sample.bytes_total.reset();
    EXPECT_EQ(progress_text(sample, 10.0),
              "1,234,567 lines checked, 25.0 MiB read, 123,456 lines/s");
    // Nothing read yet, or all of it: no time left to tell.
    sample = progress_sample{};
    sample.bytes_total = 1000;
    EXPECT_EQ(progress_text(sample, 0.0), "0 lines checked, 0% read");
    sample.bytes_read = 1000;
    sample.lines_checked = 999;
    EXPECT_EQ(progress_text(sample, 1.0), "999 lines checked, 100% read, 999 lines/s");
    // A log that grew while it was read is read at most whole.
    sample.bytes_read = 1500;
    EXPECT_EQ(progress_text(sample, 1.0), "999 lines checked, 100% read, 999 lines/s");
}

TEST(Reports, TheStatusLineIsErasedBeforeTheReportEnds)
{
    // On a terminal that is standard output too, what the report prints at
    // the end must not land on the status line.
    int terminal = -1;
    int tool_side = -1;
    termios raw{};
    cfmakeraw(&raw);
    ASSERT_EQ(openpty(&terminal, &tool_side, nullptr, &raw, nullptr), 0);
    diagnostics errors(tool_side, nullptr);
    ASSERT_TRUE(errors.is_terminal());
    progress_meter meter(errors, std::chrono::milliseconds(0));
    progress_sample sample;
    sample.lines_checked = 7;
    meter.update(sample);
    meter.finish();
    meter.update(sample);
    // A terminal may hand over what was written in more than one read.
    std::string shown;
    pollfd ready{terminal, POLLIN, 0};
    while (poll(&ready, 1, 200) == 1) {
        char bytes[4096];
        const ssize_t got = read(terminal, bytes, sizeof bytes);
        if (got <= 0)
            break;
        shown.append(bytes, static_cast<std::size_t>(got));
    }
    EXPECT_TRUE(shown.starts_with("\r\x1b[Ktamberlo_orvel_verify: 7 lines checked, 0.0 MiB read"))
        << printable(shown);
    // Erased once, and nothing after.
    EXPECT_TRUE(shown.ends_with("lines/s\r\x1b[K")) << printable(shown);
    close(terminal);
    close(tool_side);
}

TEST(Reports, BidirectionalControlsAreEscapedOnATerminalOnly)
{
    // "12.50 EUR" as a terminal would show it, from a log that says otherwise.
    const std::string data = "tx/1/\xe2\x80\xaeRUE 05.21";
    EXPECT_STREQ(terminal_safe(data.c_str(), true).c_str(), "tx/1/\\xe2\\x80\\xaeRUE 05.21");
    EXPECT_STREQ(terminal_safe(data.c_str(), false).c_str(), data.c_str());
    const struct {
        const char* bytes;
        bool control;
    } characters[] = {
        {"\xd8\x9c", true},
        {"\xe2\x80\x8e", true},
        {"\xe2\x80\x8f", true},
        {"\xe2\x80\xaa", true},
        {"\xe2\x80\xab", true},
        {"\xe2\x80\xac", true},
        {"\xe2\x80\xad", true},
        {"\xe2\x80\xae", true},
        {"\xe2\x81\xa6", true},
        {"\xe2\x81\xa7", true},
        {"\xe2\x81\xa8", true},
        {"\xe2\x81\xa9", true},
        // Their neighbours are text.
        {"\xd8\x9b", false},
        {"\xe2\x80\x8d", false},
        {"\xe2\x80\x90", false},
        {"\xe2\x80\xa9", false},
        {"\xe2\x80\xaf", false},
        {"\xe2\x81\xa5", false},
        {"\xe2\x81\xaa", false},
        {"\xe2\x82\xac", false},
    };
    for (const auto& c : characters) {
        const std::string text = std::string("a") + c.bytes + "b";
        SCOPED_TRACE(printable(text));
        std::string expected = "a";
        for (const char* at = c.bytes; *at != '\0'; ++at) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(*at));
            if (c.control)
                expected += escaped;
            else
                expected += *at;
        }
        expected += 'b';
        EXPECT_EQ(terminal_safe(text.c_str(), true).c_str(), expected);
        EXPECT_EQ(terminal_safe(text.c_str(), false).c_str(), text);
    }
}

// Whole runs in process, as the JSON document counts them.
json document_of_run(const std::string& log, std::vector<std::string> args = {})
{
    const scratch_dir dir;
    dir.write("log.txt", log);
    args.insert(args.begin(), "--json");
    args.emplace_back("log.txt");
    return json::parse(run_in_process(dir, args, {0U, {}}).console);
}

TEST(Reports, BlankLinesAreCountedWhereverTheyStand)
{
    const json document =
        document_of_run("\n \t\n" + line_of(tx(1)) + "\n" + line_of(tx(2)) + "  \n\r\n" + "   ");
    EXPECT_EQ(document["lines"], json({{"read", 8}, {"blank", 6}, {"checked", 2}, {"ok", 2}}));
    EXPECT_EQ(document_of_run("")["lines"]["read"], 0);
}

TEST(Reports, ASecondEncodingOfALineIsAnErrorOfItsOwnUnderStrictOnly)
{
    // Line 2's OpenSSL-made signature with its outer length in long form,
    // and line 3's key field with a byte after the key: both verify.
    const std::string der = signature(KEY, tx(2));
    const std::string ber = "3081" + der.substr(2);
    const std::string longer_key =
        fixtures::to_base64(fixtures::from_base64(key_field(KEY)) + '\0');
    const std::string log = line_of(tx(1)) + key_field(KEY) + "," + tx(2) + "," + ber + "\n" +
                            longer_key + "," + tx(3) + "," + signature(KEY, tx(3)) + "\n";
    const scratch_dir dir;
    dir.write("log.txt", log);
    const tool_run lenient = run_in_process(dir, {"--quiet", "log.txt"});
    EXPECT_EQ(lenient.console + lenient.errors, "");
    const tool_run quiet = run_in_process(dir, {"--quiet", "--strict", "log.txt"});
    EXPECT_TRUE(quiet.console.starts_with(
        quiet_problem("log.txt", 2, "signature verifies, but is not DER") +
        quiet_problem("log.txt", 3, "key field is not the DER encoding of its key")))
        << quiet.console;
    EXPECT_EQ(quiet.result_log, tx(1) + ",OK\n" + tx(2) + ",ERROR\n" + tx(3) + ",ERROR\n");
    EXPECT_EQ(quiet.exit_code, EXIT_COUNTED_ERRORS);
    const tool_run console = run_in_process(dir, {"--strict", "log.txt"});
    EXPECT_NE(console.console.find(shown(tx(2), ber) + "\nsignature encoding error at line 2"),
              std::string::npos);
    EXPECT_NE(console.console.find("\nkey encoding error at line 3"), std::string::npos);
    const json errors = json::parse(run_in_process(dir, {"--json", "--strict", "log.txt"}).console);
    EXPECT_EQ(errors["errors"]["signature_encoding"], 1);
    EXPECT_EQ(errors["errors"]["key_encoding"], 1);
    EXPECT_EQ(errors["problems"][0]["kind"], "signature_encoding");
}

}  // namespace
