// The run driver. A line's way, top to bottom: the reader hands over a
// piece, verify_line splits it and has it checked (here or by the pool),
// and take_verdict settles it in the ledger, records it in the result log
// and renders it, strictly in input order.
#include "run.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "check_pool.hpp"
#include "console.hpp"
#include "diagnostics.hpp"
#include "interrupt.hpp"
#include "ledger.hpp"
#include "line_format.hpp"
#include "log_reader.hpp"
#include "progress.hpp"
#include "report.hpp"
#include "result_log.hpp"
#include "rotated_logs.hpp"
#include "run_checkpoint.hpp"
#include "signature_check.hpp"
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

ledger_settings ledger_settings_of(const run_options& options, const report& renderer,
                                   const trust_list& trust)
{
    ledger_settings settings;
    // A checkpoint keeps the keys seen for the runs after it, whatever they
    // report.
    settings.tallies_keys =
        renderer.lists_keys() || !options.trusted_key_files.empty() || !options.checkpoint.empty();
    settings.knows_trust = !options.trusted_key_files.empty();
    settings.strict = options.strict;
    settings.expect_first = options.expect_first;
    settings.expect_last = options.expect_last;
    settings.log_names = options.logs;
    // Filled once the trusted keys are read, before any line.
    settings.trust = &trust;
    if (options.time_field)
        settings.clock = static_cast<unix_seconds>(std::time(nullptr));
    settings.tolerance = options.time_tolerance;
    return settings;
}

// Memory held back from the start of a run, and given back when it runs
// out, so that the run can still say so.
class memory_reserve {
public:
    memory_reserve() : bytes_(new (std::nothrow) char[RESERVE_BYTES]) {}
    void release() { bytes_.reset(); }

private:
    // The report of a run that ran out needs a few small strings.
    static constexpr std::size_t RESERVE_BYTES = std::size_t{1} << 20;
    std::unique_ptr<char[]> bytes_;
};

// Everything the driver holds while the run goes on.
struct run_state {
    run_state(const run_options& run_options, console_writer& run_console)
        : options(run_options),
          console(run_console),
          renderer(make_report(run_options, run_console)),
          accounts(ledger_settings_of(run_options, *renderer, trust)),
          store_limits(run_options.key_store.value_or(THREAD_KEY_STORE)),
          checks(store_limits),
          history(run_options),
          result_log(run_options.marks_incomplete)
    {
        settings.identify_keys = ledger_settings_of(run_options, *renderer, trust).tallies_keys;
        settings.strict_encoding = run_options.strict;
    }

    // First of all, so that it is there when memory runs out.
    memory_reserve reserve;
    const run_options& options;
    console_writer& console;
    // Renders the lines and the end of the run.
    const std::unique_ptr<report> renderer;
    // Settles the lines and finishes the run.
    ledger accounts;
    run_result& result() { return accounts.result(); }

    trust_list trust;
    // The trusted-keys files, as the system names them.
    std::vector<file_identity> trusted_files;
    check_settings settings;
    const key_store_limits store_limits;
    // What the reading thread keeps from line to line when it checks lines.
    check_state checks;
    std::vector<open_log> logs;
    // With --checkpoint: the history of the logs.
    run_checkpoint history;
    result_log_writer result_log;
    // The piece being read.
    line_position reading;
    // A log that cannot be read on ends the run once the lines before the
    // failure are settled.
    std::optional<run_error> read_failure;

    // How far the run has got, when it is shown: the bytes of the logs
    // read to their end, and the sizes of all where each is known.
    std::optional<progress_meter> progress;
    uint64_t bytes_of_logs_read = 0;
    std::optional<uint64_t> bytes_of_logs = 0;
};

run_error system_error_of(run_error_kind kind, const std::string& path, int error_number,
                          uint64_t line = 0)
{
    return text::run_error_of(kind, path, std::strerror(error_number), line);
}

// True once the run must stop early: something stopped it, or a signal
// asks it to stop.
bool must_stop(run_state& run) { return run.result().error || interrupting_signal() != 0; }

// A signal that asked the run to stop ends it after the last line settled,
// unless something else ended it first.
void note_interrupt(run_state& run)
{
    const int signal_number = interrupting_signal();
    if (signal_number == 0 || run.result().error)
        return;
    const line_position& after = run.accounts.last_settled();
    run.result().error =
        text::run_error_of(run_error_kind::interrupted, run.options.log_name(after.log),
                           "signal " + std::to_string(signal_number), after.line);
    run.result().interrupted_by = signal_number;
}

// ------------------------------------------------------------ opening

// A trusted key's dates are held to the lines' times, which the run reads
// only with --time-field.
bool dates_have_times(run_state& run)
{
    if (run.options.time_field)
        return true;
    for (const auto& [key, entries] : run.trust.conditions) {
        for (const key_conditions& entry : entries) {
            if (entry.dated()) {
                run.result().error =
                    text::run_error_of(run_error_kind::date_needs_time, entry.path, "", entry.line);
                return false;
            }
        }
    }
    return true;
}

bool load_trusted(run_state& run)
{
    if (run.options.trusted_key_files.empty())
        return true;
    trusted_keys_error error;
    if (!load_trusted_keys(run.options.trusted_key_files, run.trust, error)) {
        // A signal while a FIFO waits for its writer stops the run.
        note_interrupt(run);
        if (run.result().interrupted_by == 0) {
            run.result().error = text::run_error_of(run_error_kind::trusted_keys, error.path,
                                                    error.message, error.line);
        }
        return false;
    }
    for (const std::string& path : run.options.trusted_key_files) {
        struct stat file {};
        if (stat(path.c_str(), &file) == 0)
            run.trusted_files.push_back({file.st_dev, file.st_ino});
    }
    run.settings.trusted = &run.trust.keys;
    return dates_have_times(run);
}

bool open_logs(run_state& run)
{
    for (const std::string& path : run.options.logs) {
        open_log log;
        if (run.options.dash_is_standard_input && path == "-") {
            log.fd = STDIN_FILENO;
            log.owned = false;
        } else {
            log.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        }
        struct stat file {};
        if (log.fd < 0 || fstat(log.fd, &file) != 0) {
            const int error_number = errno;
            // A signal while a FIFO waits for its writer stops the run.
            note_interrupt(run);
            if (!run.result().error)
                run.result().error = system_error_of(run_error_kind::open_log, path, error_number);
            return false;
        }
        log.identity = {file.st_dev, file.st_ino};
        if (run.bytes_of_logs && S_ISREG(file.st_mode)) {
            *run.bytes_of_logs += static_cast<uint64_t>(file.st_size);
        } else {
            run.bytes_of_logs.reset();
        }
        run.logs.push_back(std::move(log));
    }
    return true;
}

// ------------------------------------------------------------ a history that changed

// What is wrong with a line that did not verify, in the quiet form's words.
std::string words_of(const line_verdict& verdict)
{
    line_fate fate = line_fate::bad_signature;
    switch (verdict.kind) {
        case check_verdict::key_error:
            fate = line_fate::key_error;
            break;
        case check_verdict::untrusted_key:
            fate = line_fate::untrusted_key;
            break;
        case check_verdict::key_encoding:
            fate = line_fate::key_encoding;
            break;
        case check_verdict::signature_encoding:
            fate = line_fate::signature_encoding;
            break;
        default:
            break;
    }
    const std::string key = fingerprint_hex(verdict.key.sha256);
    text::values values;
    values.code = verdict.key_code;
    values.key = key;
    return text::fate_words(fate, values);
}

// What a line of a piece that changed says of the change, if anything: a
// line that does not verify and did not fail before, one that verifies now
// but failed then, or one whose number the history never saw.
std::optional<std::string> change_of(const history_log& was, const ledger_state& facts,
                                     log_mode mode, uint64_t line_number, const char* data,
                                     const line_verdict& verdict)
{
    const std::vector<uint64_t>& failed = was.failed.lines;
    const bool failed_before = std::binary_search(failed.begin(), failed.end(), line_number);
    // The kept lines are the first that failed: past them, a line may have.
    const bool failures_known =
        was.failed.complete || (!failed.empty() && line_number <= failed.back());
    const bool fails = verdict.kind != check_verdict::verified;
    if (fails)
        return failures_known && !failed_before ? std::optional(words_of(verdict)) : std::nullopt;
    if (failed_before)
        return "it verifies now, but did not when it was verified";
    const uint32_t number = extract_sequence(data, mode);
    const auto unexpected = std::lower_bound(
        facts.unexpected_lines.begin(), facts.unexpected_lines.end(), number,
        [](const std::pair<uint32_t, uint32_t>& count, uint32_t n) { return count.first < n; });
    const bool seen = unexpected != facts.unexpected_lines.end() && unexpected->first == number;
    if (seq_in_range(number) && !seq_is_recorded(facts.tracker, number) && !seen)
        return "sequence number " + std::to_string(number) + " is not one verified before";
    return std::nullopt;
}

// A history that changed within the verified bytes of a log: the lines of
// the pieces that differ are verified again, and those that changed are
// named, each as an error of its own. Where none is found (a line that
// still verifies, or one that failed before too), the pieces stay named.
void name_changed_lines(run_state& run, run_error& error)
{
    const changed_log& changed = *run.history.changed();
    const history_log& was = run.history.history_log_at(changed.history_index);
    const int fd = run.logs[changed.given].fd;
    if (lseek(fd, 0, SEEK_SET) < 0)
        return;
    reader_settings settings;
    settings.poll_interval_ms = CONSOLE_FLUSH_INTERVAL_MS;
    log_reader reader(settings, [&run] { return must_stop(run); });
    reader.start(fd);
    const uint64_t last_line = changed.lines.back().second;
    std::vector<named_line> named;
    log_piece piece;
    std::string storage;
    while (!must_stop(run) && named.size() < KEPT_PROBLEMS &&
           reader.next(piece) == log_reader::status::piece && piece.line <= last_line) {
        const bool in_range =
            std::any_of(changed.lines.begin(), changed.lines.end(), [&piece](const auto& range) {
                return piece.line >= range.first && piece.line <= range.second;
            });
        trim_whitespace(piece.text);
        if (!in_range || *piece.text == '\0')
            continue;
        line_to_check line = line_to_check::copied(split_line(piece.text), storage);
        const line_verdict verdict = check_line_signature(run.checks, line, run.settings);
        if (verdict.kind == check_verdict::out_of_memory)
            break;
        const std::optional<std::string> change =
            change_of(was, run.history.earlier_facts(), run.options.mode, piece.line, line.data(),
                      verdict);
        if (change)
            named.push_back({piece.line, *change});
    }
    if (!named.empty()) {
        error.line = named.front().line;
        error.message = named.front().message;
        error.lines = std::move(named);
    }
}

// With --checkpoint: the checkpoint locked and read, and the logs matched
// against it, before any line is verified.
bool open_checkpoint(run_state& run)
{
    if (!run.history.active())
        return true;
    std::vector<file_identity> identities;
    std::vector<int> fds;
    for (std::size_t i = 0; i < run.logs.size(); ++i) {
        struct stat file {};
        if (fstat(run.logs[i].fd, &file) != 0 || !S_ISREG(file.st_mode)) {
            // A log is read twice: to match it, and to verify it.
            run.result().error =
                text::run_error_of(run_error_kind::checkpoint_needs_file, run.options.logs[i]);
            return false;
        }
        identities.push_back(run.logs[i].identity);
        fds.push_back(run.logs[i].fd);
    }
    std::optional<run_error> error = run.history.open(run.trust, identities);
    if (!error)
        error = run.history.match(fds, [&run] { return must_stop(run); });
    if (error && error->kind == run_error_kind::interrupted) {
        note_interrupt(run);
        return false;
    }
    if (error) {
        if (run.history.changed())
            name_changed_lines(run, *error);
        note_interrupt(run);
        if (!run.result().error)
            run.result().error = std::move(error);
        return false;
    }
    run.history.restore(run.accounts);
    run.renderer->resumed(run.result());
    return true;
}

bool open_result_log(run_state& run)
{
    using open_result = result_log_writer::open_result;
    // Every file the run reads or will write, and how a result log that is
    // one is refused.
    std::vector<result_log_writer::read_file> reads;
    for (const open_log& log : run.logs)
        reads.push_back({log.identity, open_result::is_a_log, {}});
    for (const file_identity& trusted : run.trusted_files)
        reads.push_back({trusted, open_result::is_trusted_keys, {}});
    for (const file_identity& checkpoint : run.history.identities())
        reads.push_back({checkpoint, open_result::is_checkpoint, {}});
    if (run.history.active() && !run.history.found())
        reads.push_back({{}, open_result::is_checkpoint, run.options.checkpoint});
    const std::string& path = run.options.result_log;
    switch (run.result_log.open(path, reads)) {
        case result_log_writer::open_result::opened:
            return true;
        case result_log_writer::open_result::is_a_log:
            run.result().error = text::run_error_of(run_error_kind::result_log_is_log, path);
            return false;
        case result_log_writer::open_result::is_the_output:
            run.result().error = text::run_error_of(run_error_kind::result_log_is_output, path);
            return false;
        case result_log_writer::open_result::locked:
            run.result().error = text::run_error_of(run_error_kind::result_log_locked, path);
            return false;
        case result_log_writer::open_result::is_trusted_keys:
            run.result().error =
                text::run_error_of(run_error_kind::result_log_is_trusted_keys, path);
            return false;
        case result_log_writer::open_result::is_checkpoint:
            // A first run's checkpoint was not there: this open made it.
            if (!run.history.found())
                (void)::unlink(run.options.checkpoint.c_str());
            run.result().error = text::run_error_of(run_error_kind::result_log_is_checkpoint, path);
            return false;
        case result_log_writer::open_result::failed:
            break;
    }
    run.result().error =
        text::run_error_of(run_error_kind::open_result_log, path, run.result_log.error());
    return false;
}

// ------------------------------------------------------------ a line's way

// A line's way, in the order the definitions below take it: read from its
// log, split (its sequence number read), checked here or by the workers,
// and taken back in input order to be settled, recorded and rendered.
void verify_log(run_state& run, check_pool& pool, log_reader& reader, std::size_t index);
void verify_line(run_state& run, check_pool& pool, log_reader& reader, char* text,
                 const line_position& where);
void check_in_pool(run_state& run, check_pool& pool, const split_fields& line, std::size_t bytes,
                   const line_position& where);
void check_here(run_state& run, check_pool& pool, log_reader& reader, const split_fields& line,
                const line_position& where);
void take_lines(run_state& run, check_pool& pool, std::size_t count);
void take_all_lines(run_state& run, check_pool& pool);
void take_checked_lines(run_state& run, check_pool& pool);
void take_verdict(run_state& run, const line_position& where, const line_to_check& line,
                  const line_place& place, const line_verdict& verdict);

// Shows how far the run has got, when that is shown and due.
void show_progress(run_state& run, const log_reader& reader)
{
    if (!run.progress || !run.progress->due())
        return;
    progress_sample sample;
    // Lines whose check is done, their key's included where it did not
    // parse.
    sample.lines_checked = run.result().lines_checked + run.result().lines_of(line_fate::key_error);
    sample.bytes_read = run.bytes_of_logs_read + reader.bytes_consumed();
    sample.bytes_total = run.bytes_of_logs;
    run.progress->update(sample);
}

// Reads every log, one after the other, and takes every line its way.
void read_and_check(run_state& run)
{
    check_pool pool(run.options.workers.value_or(default_worker_count()), run.settings,
                    run.store_limits, run.checks);
    reader_settings settings;
    settings.slack = LINE_TO_CHECK_SLACK;
    settings.poll_interval_ms = CONSOLE_FLUSH_INTERVAL_MS;
    const log_reader* shown = nullptr;
    log_reader reader(settings, [&run, &pool, &shown] {
        // Verdicts known so far show while the tool waits for input.
        take_checked_lines(run, pool);
        run.console.flush();
        if (shown != nullptr)
            show_progress(run, *shown);
        return must_stop(run);
    });
    shown = &reader;
    for (std::size_t i = 0; i < run.logs.size() && !must_stop(run) && !run.read_failure; ++i)
        verify_log(run, pool, reader, i);
    take_all_lines(run, pool);
}

// Starts reading log index where the checkpoint says; false when it holds
// nothing to verify, or the bytes verified before cannot be passed.
bool start_log(run_state& run, log_reader& reader, std::size_t index)
{
    const run_checkpoint::reading reading = run.history.reading_of(index);
    if (!reading.verify)
        return false;
    const int fd = run.logs[index].fd;
    // Matching the logs read them already.
    if (run.history.active() && lseek(fd, 0, SEEK_SET) < 0) {
        run.read_failure =
            system_error_of(run_error_kind::read_log, run.options.logs[index], errno);
        return false;
    }
    reader.start(fd);
    if (reading.passed_bytes > 0) {
        const log_reader::status passed = reader.pass(reading.passed_bytes, nullptr);
        if (passed == log_reader::status::interrupted)
            return false;  // must_stop() takes it from here
        if (passed != log_reader::status::piece) {
            run.read_failure = text::run_error_of(run_error_kind::read_log, run.options.logs[index],
                                                  reader.error());
            return false;
        }
        reader.resume_at(reading.passed_lines, reading.at_line_start);
    }
    reader.keep_digest(reading.digest, reading.hold_unfinished_line);
    return true;
}

// Reads one log to its end, or until the run must stop.
void verify_log(run_state& run, check_pool& pool, log_reader& reader, std::size_t index)
{
    if (!start_log(run, reader, index))
        return;
    const std::string& path = run.options.logs[index];
    log_piece piece;
    while (!must_stop(run)) {
        const log_reader::status status = reader.next(piece);
        if (status == log_reader::status::end)
            break;
        if (status == log_reader::status::interrupted)
            continue;  // must_stop() takes it from here
        if (status == log_reader::status::out_of_memory) {
            run.read_failure = system_error_of(run_error_kind::out_of_memory, path, ENOMEM,
                                               reader.line_being_read());
            return;
        }
        if (status == log_reader::status::failed) {
            run.read_failure = text::run_error_of(run_error_kind::read_log, path, reader.error());
            return;
        }
        run.reading = {index, piece.line};
        trim_whitespace(piece.text);
        const bool blank = *piece.text == '\0';
        run.accounts.read_piece(piece.starts_line, blank);
        if (!blank)
            verify_line(run, pool, reader, piece.text, run.reading);
        show_progress(run, reader);
    }
    run.bytes_of_logs_read += reader.bytes_consumed();
    run.accounts.end_log();
    run.history.log_read(index, reader.last_line(), reader.at_line_start());
}

// One non-blank piece of a log, trimmed: split, its number read, then
// checked.
void verify_line(run_state& run, check_pool& pool, log_reader& reader, char* text,
                 const line_position& where)
{
    const split_fields line = split_line(text, run.options.mode, run.options.time_field);
    trim_whitespace(line.fields.signature);
    const std::size_t bytes = std::strlen(line.fields.key) + std::strlen(line.fields.data) +
                              std::strlen(line.fields.signature);
    if (bytes > LARGE_LINE_BYTES) {
        check_here(run, pool, reader, line, where);
    } else {
        check_in_pool(run, pool, line, bytes, where);
    }
    run.console.flush_if_due();
}

// A line of usual size: queued for the workers, once there is room.
void check_in_pool(run_state& run, check_pool& pool, const split_fields& line, std::size_t bytes,
                   const line_position& where)
{
    // A full queue is worked down by half, not line by line.
    while (pool.is_full(bytes) && !must_stop(run))
        take_lines(run, pool, (pool.size() + 1) / 2);
    if (must_stop(run))
        return;
    pool.queue(line, where);
    take_checked_lines(run, pool);
}

// A line too large to copy for the workers: checked on this thread once
// every earlier line is taken, with its fields moved apart inside the line
// buffer rather than copied.
void check_here(run_state& run, check_pool& pool, log_reader& reader, const split_fields& line,
                const line_position& where)
{
    take_all_lines(run, pool);
    if (must_stop(run))
        return;
    std::optional<line_to_check> fields =
        line_to_check::in_place(line.fields, reader.buffer(), reader.buffer_end());
    std::string storage;
    if (!fields)
        fields = line_to_check::copied(line.fields, storage);
    take_verdict(run, where, *fields, line.place,
                 check_line_signature(run.checks, *fields, run.settings));
}

// Takes the verdicts of the oldest count queued lines, waiting for their
// checks.
void take_lines(run_state& run, check_pool& pool, std::size_t count)
{
    // What is printed so far stays visible while slow checks run.
    while (!pool.wait_checked(count, CONSOLE_FLUSH_INTERVAL_MS)) {
        run.console.flush();
        if (must_stop(run))
            return;
    }
    take_checked_lines(run, pool);
}

void take_all_lines(run_state& run, check_pool& pool)
{
    while (!pool.is_empty() && !must_stop(run))
        take_lines(run, pool, pool.size());
}

// Takes the verdicts of the oldest queued lines that are checked.
void take_checked_lines(run_state& run, check_pool& pool)
{
    while (const queued_line* line = pool.oldest_checked()) {
        if (must_stop(run))
            return;
        take_verdict(run, line->where, line->line, line->place, line->verdict);
        pool.take_oldest();
    }
}

// A checked line, in input order: settled, recorded and rendered.
void take_verdict(run_state& run, const line_position& where, const line_to_check& line,
                  const line_place& place, const line_verdict& verdict)
{
    if (verdict.kind == check_verdict::out_of_memory) {
        // No verdict: the run ends here, with every line before it settled.
        run.result().error = system_error_of(run_error_kind::out_of_memory,
                                             run.options.logs[where.log], ENOMEM, where.line);
        return;
    }
    const line_report report =
        run.accounts.settle(where, line.data(), line.signature(), place, verdict);
    run.result_log.record(report);
    run.renderer->line(report);
}

// Memory ran out outside a line's way: the run ends as if at the line last
// read, unless something ended it before.
void note_out_of_memory(run_state& run)
{
    if (run.result().error)
        return;
    run.result().error =
        system_error_of(run_error_kind::out_of_memory, run.options.log_name(run.reading.log),
                        ENOMEM, run.reading.line);
}

void verify_logs(run_state& run)
{
    run_result& result = run.result();
    try {
        read_and_check(run);
    } catch (const std::bad_alloc&) {
        run.reserve.release();
        note_out_of_memory(run);
    }
    note_interrupt(run);
    if (!result.error)
        result.error = run.read_failure;
    // A log that could not be read to its end was not verified: no gaps.
    try {
        if (!result.error) {
            run.accounts.finish();
            run.result_log.gap_records(run.options.mode, result.missing);
        }
        // A result log that ends early says why in its last record.
        if (result.error && (result.interrupted_by != 0 || run.options.marks_incomplete))
            run.result_log.last_record(*result.error);
    } catch (const std::bad_alloc&) {
        run.reserve.release();
        note_out_of_memory(run);
        if (run.options.marks_incomplete)
            run.result_log.last_record(*result.error);
    }
    run.logs.clear();
    if (!run.result_log.close()) {
        result.write_error = text::run_error_of(run_error_kind::write_result_log,
                                                run.options.result_log, run.result_log.error());
    }
    // Only a run that completed replaces the checkpoint.
    if (!result.error && !result.write_error)
        result.write_error = run.history.write(run.accounts);
}

run_status status_of(const run_result& result)
{
    if (result.interrupted_by != 0)
        return run_status::interrupted;
    if (result.error && result.error->kind == run_error_kind::history_changed)
        return run_status::history_changed;
    // A command line that asks for what it does not give.
    if (result.error && result.error->kind == run_error_kind::date_needs_time)
        return run_status::bad_argument;
    if (result.error || result.write_error)
        return run_status::file_error;
    if (result.last_result_code != 0)
        return run_status{result.last_result_code};
    if (result.counted_errors() != 0)
        return run_status::counted_errors;
    return run_status::ok;
}

// What stopped or spoiled the run, on standard error: the quiet and JSON
// forms keep their output for the log's facts, and a journal files each
// line under its priority.
void say_errors(const report& renderer, const run_result& result, diagnostics& errors)
{
    if (!renderer.says_run_errors_on_standard_error())
        return;
    for (const std::optional<run_error>* error : {&result.error, &result.write_error}) {
        if (!*error)
            continue;
        const message_priority priority = (*error)->kind == run_error_kind::interrupted
                                              ? message_priority::warning
                                              : message_priority::error;
        // A path's line end would split a journal's message.
        const bool escape = errors.is_terminal() || errors.is_journal();
        for (const std::string& text : quiet_error_texts(**error, escape))
            errors.message(priority, text);
    }
}

// Progress shows on a terminal in the quiet and JSON forms, a few times a
// second; asked for, anywhere, every few seconds.
constexpr std::chrono::milliseconds PROGRESS_ON_TERMINAL_MS{250};
constexpr std::chrono::milliseconds PROGRESS_ELSEWHERE_MS{2000};

bool shows_progress(const run_options& options, const report& renderer, const diagnostics& errors)
{
    switch (options.progress) {
        case progress_display::always:
            return true;
        case progress_display::never:
            return false;
        case progress_display::automatic:
            break;
    }
    return renderer.shows_progress_on_a_terminal() && errors.is_terminal();
}

// Renders the end of the run; a report that runs out of memory ends again
// with the error, in what memory is left (the JSON document needs none).
void render_end(run_state& run)
{
    run_result& result = run.result();
    try {
        run.renderer->end(result);
        return;
    } catch (const std::bad_alloc&) {
        run.reserve.release();
    }
    note_out_of_memory(run);
    result.status = status_of(result);
    try {
        run.renderer->end(result);
    } catch (const std::bad_alloc&) {
        // Nothing more can be said; the status still tells.
    }
}

// The options with the files of each set of rotated logs among the logs.
run_options with_rotated_sets(const run_options& asked)
{
    run_options options = asked;
    if (asked.rotated.empty())
        return options;
    options.logs.clear();
    std::size_t given = 0;
    for (const rotated_source& source : asked.rotated) {
        for (; given < source.before_log && given < asked.logs.size(); ++given)
            options.logs.push_back(asked.logs[given]);
        const std::vector<std::string> set = rotated_set(source.path);
        options.logs.insert(options.logs.end(), set.begin(), set.end());
        options.rotated_paths.push_back(source.path);
    }
    options.logs.insert(options.logs.end(), asked.logs.begin() + static_cast<std::ptrdiff_t>(given),
                        asked.logs.end());
    options.rotated.clear();
    return options;
}

}  // namespace

run_status run_verification(const run_options& asked, console_writer& console, diagnostics* errors)
{
    const run_options options = with_rotated_sets(asked);
    run_state run(options, console);
    run.renderer->start();
    if (errors != nullptr && shows_progress(options, *run.renderer, *errors)) {
        run.progress.emplace(*errors, errors->is_terminal() ? PROGRESS_ON_TERMINAL_MS
                                                            : PROGRESS_ELSEWHERE_MS);
    }
    try {
        if (load_trusted(run) && open_logs(run) && open_checkpoint(run) && open_result_log(run))
            verify_logs(run);
    } catch (const std::bad_alloc&) {
        // Opening the files ran out: nothing was recorded yet.
        run.reserve.release();
        note_out_of_memory(run);
    }
    if (run.progress)
        run.progress->finish();
    run_result& result = run.result();
    if (run.history.active())
        result.checkpoint = run.history.report(result);
    result.status = status_of(result);
    render_end(run);
    if (errors != nullptr) {
        try {
            say_errors(*run.renderer, result, *errors);
        } catch (const std::bad_alloc&) {
            // The status and the console have said it.
        }
    }
    return result.status;
}
