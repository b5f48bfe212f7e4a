// The run driver: opens the logs and the result log, drives every line
// through the line rules, the signature check and the sequence check, keeps
// what happened, and hands it to the reports.
#include "run.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "check_pool.hpp"
#include "console.hpp"
#include "interrupt.hpp"
#include "line_format.hpp"
#include "log_reader.hpp"
#include "report.hpp"
#include "result_log.hpp"
#include "texts.hpp"
#include "trusted_keys.hpp"

namespace {

// Lines longer than this are not copied for the workers but checked where
// they stand, on the reading thread.
constexpr std::size_t LARGE_LINE_BYTES = std::size_t{1} * 1024 * 1024;

// A log opened for reading; closed at scope end.
struct open_log {
    open_log() = default;
    ~open_log()
    {
        if (fd >= 0 && owned)
            close(fd);
    }
    open_log(const open_log&) = delete;
    open_log& operator=(const open_log&) = delete;
    open_log(open_log&& other) noexcept
        : fd(std::exchange(other.fd, -1)), owned(other.owned), identity(other.identity)
    {
    }
    open_log& operator=(open_log&&) = delete;

    int fd = -1;
    bool owned = true;
    file_identity identity;
};

// Everything the driver knows about the run in progress.
struct run_state {
    run_state(const run_options& run_options, const report_target& report_target)
        : options(run_options), target(report_target), tracker(std::make_unique<seq_tracker>())
    {
    }

    const run_options& options;
    const report_target target;
    trusted_fingerprints trusted;
    check_settings settings;
    // What the reading thread keeps from line to line when it checks lines.
    check_state checks;
    std::vector<open_log> logs;
    result_log_writer result_log;
    std::unique_ptr<seq_tracker> tracker;
    run_result result;
    // Where each key seen stands in result.keys.
    std::map<key_fingerprint, std::size_t> key_index;
    // The piece being read, and the last line reported.
    line_position reading;
    line_position last_reported;
    // A log that cannot be read on ends the run once the lines before the
    // failure are reported.
    std::optional<run_error> read_failure;
};

run_error error_at(run_error_kind kind, const std::string& path, int error_number)
{
    return {kind, path, std::strerror(error_number), 0};
}

bool load_trusted(run_state& state)
{
    if (state.options.trusted_key_files.empty())
        return true;
    trusted_keys_error error;
    if (!load_trusted_keys(state.options.trusted_key_files, state.trusted, error)) {
        state.result.error =
            run_error{run_error_kind::trusted_keys, error.path, error.message, error.line};
        return false;
    }
    state.settings.trusted = &state.trusted;
    return true;
}

// True once the run must stop early: a line ran out of memory, or a signal
// asked it to stop (noted here, after the last line reported).
bool stopping(run_state& state)
{
    if (state.result.error)
        return true;
    const int signal_number = interrupting_signal();
    if (signal_number == 0)
        return false;
    const line_position& after = state.last_reported;
    state.result.error = run_error{run_error_kind::interrupted, state.options.logs[after.log],
                                   "signal " + std::to_string(signal_number), after.line};
    state.result.interrupted_by = signal_number;
    return true;
}

bool open_logs(run_state& state)
{
    for (const std::string& path : state.options.logs) {
        open_log log;
        if (state.options.dash_is_standard_input && path == "-") {
            log.fd = STDIN_FILENO;
            log.owned = false;
        } else {
            log.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        }
        struct stat file {};
        if (log.fd < 0 || fstat(log.fd, &file) != 0) {
            const int error_number = errno;
            // A signal while a FIFO waits for its writer stops the run.
            if (!stopping(state))
                state.result.error = error_at(run_error_kind::open_log, path, error_number);
            return false;
        }
        log.identity = {file.st_dev, file.st_ino};
        state.logs.push_back(std::move(log));
    }
    return true;
}

bool open_result_log(run_state& state)
{
    std::vector<file_identity> logs;
    for (const open_log& log : state.logs)
        logs.push_back(log.identity);
    const std::string& path = state.options.result_log;
    switch (state.result_log.open(path, logs)) {
        case result_log_writer::open_result::opened:
            return true;
        case result_log_writer::open_result::is_a_log:
            state.result.error = run_error{run_error_kind::result_log_is_log, path,
                                           "it is the log being verified", 0};
            return false;
        case result_log_writer::open_result::is_the_output:
            state.result.error = run_error{run_error_kind::result_log_is_output, path,
                                           "it is the standard output", 0};
            return false;
        case result_log_writer::open_result::locked:
            state.result.error =
                run_error{run_error_kind::result_log_locked, path, "another run is writing it", 0};
            return false;
        case result_log_writer::open_result::failed:
            break;
    }
    state.result.error =
        run_error{run_error_kind::open_result_log, path, state.result_log.error(), 0};
    return false;
}

// Counts the key of a line among the keys seen.
const key_identity* note_key(run_state& state, const line_verdict& verdict)
{
    if (!state.settings.identify_keys)
        return nullptr;
    auto [at, added] = state.key_index.try_emplace(verdict.key.sha256, state.result.keys.size());
    if (added) {
        key_seen seen;
        seen.key = verdict.key;
        if (state.settings.trusted != nullptr)
            seen.trusted = verdict.outcome != line_outcome::untrusted_key;
        state.result.keys.push_back(seen);
    }
    key_seen& seen = state.result.keys[at->second];
    ++seen.lines;
    return &seen.key;
}

void note_problem(run_result& result, const line_report& line)
{
    if (line.fate == line_fate::ok)
        return;
    if (result.problems.size() < KEPT_PROBLEMS) {
        result.problems.push_back({line.where, line.fate, line.key_code});
    } else {
        ++result.problems_omitted;
    }
}

// Writes a checked line's record, counts it, and reports it.
void report_checked_line(run_state& state, const line_position& where, const line_to_check& fields,
                         const line_verdict& verdict)
{
    run_result& result = state.result;
    if (verdict.outcome == line_outcome::out_of_memory) {
        // No verdict: the run ends here, with every line before reported.
        result.error = run_error{run_error_kind::out_of_memory, state.options.logs[where.log],
                                 std::strerror(ENOMEM), where.line};
        return;
    }
    state.last_reported = where;
    line_report line;
    line.where = where;
    line.counter = result.line_counter();
    line.data = fields.data();
    line.signature = fields.signature();

    if (verdict.outcome == line_outcome::key_error) {
        // A key that does not parse still counts as an error; the line
        // counter stays, since the line never reached verification.
        ++result.key_errors;
        result.last_result_code = verdict.key_code;
        line.fate = line_fate::key_error;
        line.key_code = verdict.key_code;
        state.result_log.key_error_record(fields.data());
    } else {
        line.key = note_key(state, verdict);
        if (verdict.outcome == line_outcome::bad_signature) {
            ++result.signature_errors;
            line.fate = line_fate::bad_signature;
        } else if (verdict.outcome == line_outcome::untrusted_key) {
            ++result.untrusted_key_errors;
            line.fate = line_fate::untrusted_key;
        } else if (!seq_check_line(*state.tracker, fields.data(), state.options.mode)) {
            // A verified line without a usable sequence number cannot be
            // placed in the log's order, so it is an error too.
            ++result.sequence_number_errors;
            line.fate = line_fate::no_sequence_number;
        } else {
            ++result.lines_ok;
            line.fate = line_fate::ok;
        }
        state.result_log.record(fields.data(),
                                line.fate == line_fate::ok ? text::record_ok : text::record_error);
        ++result.lines_checked;
        result.last_result_code = 0;
    }
    note_problem(result, line);
    report_line(state.target, state.options, line);
}

void report_checked_lines(run_state& state, check_pool& pool)
{
    while (const queued_line* line = pool.oldest_checked()) {
        if (state.result.error)
            return;
        report_checked_line(state, line->where, line->line, line->verdict);
        pool.take_oldest();
    }
}

// Reports the oldest count queued lines, waiting for their checks.
void report_lines(run_state& state, check_pool& pool, std::size_t count)
{
    // What is printed so far stays visible while slow checks run.
    while (!pool.wait_checked(count, CONSOLE_FLUSH_INTERVAL_MS)) {
        console_flush();
        if (stopping(state))
            return;
    }
    report_checked_lines(state, pool);
}

void report_all_lines(run_state& state, check_pool& pool)
{
    while (!pool.is_empty() && !stopping(state))
        report_lines(state, pool, pool.size());
}

// One non-blank piece of a log, trimmed.
void verify_line(run_state& state, check_pool& pool, log_reader& reader, char* text,
                 const line_position& where)
{
    const line_fields fields = split_line(text);
    trim_whitespace(fields.signature);

    const std::size_t bytes =
        std::strlen(fields.key) + std::strlen(fields.data) + std::strlen(fields.signature);
    if (bytes > LARGE_LINE_BYTES) {
        // Checked on this thread once every earlier line is reported, with
        // its fields moved apart inside the line buffer rather than copied.
        report_all_lines(state, pool);
        if (stopping(state))
            return;
        std::optional<line_to_check> line =
            line_to_check::in_place(fields, reader.buffer(), reader.buffer_end());
        std::string storage;
        if (!line)
            line = line_to_check::copied(fields, storage);
        const line_verdict verdict = check_line_signature(state.checks, *line, state.settings);
        report_checked_line(state, where, *line, verdict);
    } else {
        // A full queue is worked down by half, not line by line.
        while (pool.is_full(bytes) && !stopping(state))
            report_lines(state, pool, (pool.size() + 1) / 2);
        if (stopping(state))
            return;
        pool.queue(fields, where);
        report_checked_lines(state, pool);
    }
    console_flush_if_due();
}

// Reads one log to its end, or until the run must stop.
void verify_log(run_state& state, check_pool& pool, log_reader& reader, std::size_t index)
{
    reader.start(state.logs[index].fd);
    run_result& result = state.result;
    const std::string& path = state.options.logs[index];
    // A physical line is blank when all its pieces are.
    bool in_line = false;
    bool line_has_fields = false;
    log_piece piece;
    while (!stopping(state)) {
        const log_reader::status status = reader.next(piece);
        if (status == log_reader::status::end)
            break;
        if (status == log_reader::status::interrupted)
            continue;  // stopping() takes it from here
        if (status == log_reader::status::out_of_memory) {
            state.read_failure = run_error{run_error_kind::out_of_memory, path,
                                           std::strerror(ENOMEM), reader.line_being_read()};
            return;
        }
        if (status == log_reader::status::failed) {
            state.read_failure = run_error{run_error_kind::read_log, path, reader.error(), 0};
            return;
        }
        state.reading = {index, piece.line};
        if (piece.starts_line) {
            if (in_line && !line_has_fields)
                ++result.lines_blank;
            ++result.lines_read;
            in_line = true;
            line_has_fields = false;
        }
        trim_whitespace(piece.text);
        if (*piece.text == '\0')
            continue;
        line_has_fields = true;
        verify_line(state, pool, reader, piece.text, state.reading);
    }
    if (in_line && !line_has_fields)
        ++result.lines_blank;
}

// After the last line: the missing numbers, as records and counted errors.
void scan_gaps(run_state& state)
{
    run_result& result = state.result;
    sequence_gaps gaps = seq_scan_gaps(*state.tracker, result.lines_checked);
    for (const sequence_range& range : gaps.missing) {
        for (uint32_t number = range.first;; ++number) {
            state.result_log.gap_record(state.options.mode, number);
            if (number == range.last)
                break;
        }
        result.missing_numbers += range.last - range.first + 1;
    }
    result.missing = std::move(gaps.missing);
    result.no_progression = gaps.no_progression;
    if (seq_has_numbers(*state.tracker)) {
        result.first_number = state.tracker->seq_min;
        result.last_number = state.tracker->seq_max;
    }
}

void read_and_check(run_state& state)
{
    check_pool pool(state.options.workers, state.settings, state.checks);
    log_reader reader([&state, &pool] {
        // Verdicts known so far show while the tool waits for input.
        report_checked_lines(state, pool);
        console_flush();
        return stopping(state);
    });
    for (std::size_t i = 0; i < state.logs.size() && !state.result.error && !state.read_failure;
         ++i)
        verify_log(state, pool, reader, i);
    report_all_lines(state, pool);
    if (!state.result.error)
        state.result.error = state.read_failure;
}

void verify_logs(run_state& state)
{
    try {
        read_and_check(state);
    } catch (const std::bad_alloc&) {
        const line_position& at = state.reading;
        state.result.error = run_error{run_error_kind::out_of_memory, state.options.logs[at.log],
                                       std::strerror(ENOMEM), at.line};
    }
    // A log that could not be read to its end was not verified: no gaps.
    if (!state.result.error)
        scan_gaps(state);
    if (state.result.interrupted_by != 0)
        state.result_log.interrupted_record(state.result.interrupted_by);
    state.logs.clear();
    if (!state.result_log.close()) {
        state.result.write_error = run_error{run_error_kind::write_result_log,
                                             state.options.result_log, state.result_log.error(), 0};
    }
}

run_status status_of(const run_result& result)
{
    if (result.interrupted_by != 0)
        return run_status::interrupted;
    if (result.error || result.write_error)
        return run_status::file_error;
    if (result.last_result_code != 0)
        return run_status{result.last_result_code};
    if (result.counted_errors() != 0)
        return run_status::counted_errors;
    return run_status::ok;
}

}  // namespace

int process_exit_code(run_status status)
{
    if (status == run_status::ok)
        return 0;
    if (status == run_status::interrupted)
        return 128 + interrupting_signal();
    const int low_bits = static_cast<int>(static_cast<uint32_t>(status) & 0xFFU);
    return low_bits != 0 ? low_bits : 1;
}

run_status run_verification(const run_options& options)
{
    const report_target target{options.style, console_is_terminal()};
    run_state state(options, target);
    state.settings.identify_keys =
        options.style != report_style::console || !options.trusted_key_files.empty();
    report_start(target, options);
    if (load_trusted(state) && open_logs(state) && open_result_log(state))
        verify_logs(state);
    state.result.status = status_of(state.result);
    report_end(target, options, state.result);
    return state.result.status;
}
