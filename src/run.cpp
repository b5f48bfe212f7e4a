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
#include <thread>
#include <utility>
#include <vector>

#include "check_pool.hpp"
#include "console.hpp"
#include "diagnostics.hpp"
#include "gap_watch.hpp"
#include "interrupt.hpp"
#include "ledger.hpp"
#include "line_format.hpp"
#include "log_digest.hpp"
#include "log_follower.hpp"
#include "log_reader.hpp"
#include "metrics.hpp"
#include "progress.hpp"
#include "report.hpp"
#include "result_log.hpp"
#include "rotated_logs.hpp"
#include "run_checkpoint.hpp"
#include "service_manager.hpp"
#include "signature_check.hpp"
#include "texts.hpp"
#include "trusted_keys.hpp"

namespace {

// Lines longer than this are not copied for the workers but checked where
// they stand, on the reading thread.
constexpr std::size_t LARGE_LINE_BYTES = std::size_t{1} * 1024 * 1024;

// A followed log: how often the run looks around while it waits (at once
// when the log's directory changes), how many of the newest rotated files
// may hold the copy of a file cut back, and how often the metrics and a
// summary are written.
constexpr std::chrono::milliseconds FOLLOW_TICK{1000};
constexpr std::size_t COPIES_TRIED = 3;
// The texts read that a followed log's next file is told from: far more
// than any set of rotated files holds.
constexpr std::size_t READ_TEXTS_KEPT = 1024;
constexpr std::chrono::seconds METRICS_EVERY{5};
constexpr std::chrono::seconds SUMMARY_EVERY{60};

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
    // options.logs grows by a name for each file of a followed log after
    // the first: every part of the run names logs by it.
    run_state(run_options& run_options, console_writer& run_console)
        : options(run_options),
          names(run_options.logs),
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
    run_options& options;
    std::vector<std::string>& names;
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

    // With --follow: whether reading began (a signal then ends the run as
    // its end does) and whether it reached the followed file's end; the
    // follower of that file and the log it is read as; the digest of the
    // text of the log being read (the checkpoint's, or the run's own), and
    // the heads of the texts read, the latest last (at most READ_TEXTS_KEPT),
    // to find where the run stands among the rotated files; what the run
    // tells its service manager; the gaps not said yet; when the last line
    // was read; and when the checkpoint, the metrics and a summary are due.
    bool follows_on = false;
    bool caught_up = false;
    log_follower* follower = nullptr;
    std::optional<std::size_t> followed_log;
    log_digest* log_text = nullptr;
    std::unique_ptr<log_digest> own_digest;
    std::vector<rotated_files::text_head> read_texts;
    service_manager service;
    gap_watch gaps;
    std::optional<unix_seconds> last_line_read;
    std::chrono::steady_clock::time_point next_save{};
    std::chrono::steady_clock::time_point next_metrics{};
    std::chrono::steady_clock::time_point next_summary{};
    bool said_save_error = false;
    std::optional<run_error> metrics_error;
    // Where run errors are said while the run goes on (none in tests).
    diagnostics* errors = nullptr;
    // The options as asked, before the sets of rotated logs were listed.
    const run_options* asked = nullptr;
};

run_error system_error_of(run_error_kind kind, const std::string& path, int error_number,
                          uint64_t line = 0)
{
    return text::run_error_of(kind, path, std::strerror(error_number), line);
}

// True once the run must stop early: something stopped it, or a signal
// asks it to stop. Once a follow run reads, a signal ends it as its end
// does: what was read is taken its way first.
bool must_stop(run_state& run)
{
    return run.result().error || (interrupting_signal() != 0 && !run.follows_on);
}

// True once no more is to be read.
bool must_end_reading(run_state& run) { return must_stop(run) || interrupting_signal() != 0; }

// A signal that asked the run to stop ends it after the last line settled,
// unless something else ended it first.
void note_interrupt(run_state& run)
{
    const int signal_number = interrupting_signal();
    if (signal_number == 0 || run.result().error || run.follows_on)
        return;
    const line_position& after = run.accounts.last_settled();
    run.result().error =
        text::run_error_of(run_error_kind::interrupted, run.options.log_name(after.log),
                           "signal " + std::to_string(signal_number), after.line);
    run.result().interrupted_by = signal_number;
}

// ------------------------------------------------------------ opening

run_options with_rotated_sets(const run_options& asked);

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

// Opens every log; false, with the run's error, when one cannot be.
bool open_each_log(run_state& run)
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
        // A followed file is read on past its end, which a pipe has not.
        if (run.options.follow && path == run.options.follow_path &&
            run.logs.size() + 1 == run.options.logs.size() && !S_ISREG(file.st_mode)) {
            run.result().error = text::run_error_of(run_error_kind::follow_needs_file, path);
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

// Whether every set of rotated logs still has the files opened, under the
// names they were opened by: no rotation came between listing the files
// and opening them.
bool sets_still_named(run_state& run)
{
    if (with_rotated_sets(*run.asked).logs != run.options.logs)
        return false;
    for (std::size_t i = 0; i < run.logs.size(); ++i) {
        if (run.logs[i].owned && !names_file(run.options.logs[i], run.logs[i].identity))
            return false;
    }
    return true;
}

// Opens the logs. The files of a set of rotated logs are listed and opened
// again while a rotation under way renames them (a file gone, or a name
// that stands for another file now), a few times at most.
bool open_logs(run_state& run)
{
    for (int attempt = 1;; ++attempt) {
        const bool opened = open_each_log(run);
        const bool retry = !run.asked->rotated.empty() && attempt < SET_LISTINGS &&
                           interrupting_signal() == 0 &&
                           (opened ? !sets_still_named(run)
                                   : run.result().error->kind == run_error_kind::open_log);
        if (!retry)
            return opened;
        run.result().error.reset();
        run.logs.clear();
        run.bytes_of_logs = 0;
        std::this_thread::sleep_for(SET_LISTING_PAUSE * attempt);
        run.options.logs = with_rotated_sets(*run.asked).logs;
        run.accounts.name_logs(run.options.logs, {});
    }
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
    // A followed log's records go on from those its checkpoint covers.
    const uint64_t kept = run.options.follow ? run.history.result_log_bytes().value_or(0) : 0;
    switch (run.result_log.open(path, reads, kept)) {
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
// A followed log's way on.
bool follows(const run_state& run, std::size_t index);
void read_pieces(run_state& run, check_pool& pool, log_reader& reader, std::size_t index);
void note_read_text(run_state& run);
bool open_copy(run_state& run, log_reader& reader, std::size_t index, std::string& copy);
void follow_next_file(run_state& run, std::size_t index, const std::string& copy);
bool follow_tick(run_state& run, check_pool& pool, const log_reader& reader);
void save_checkpoint(run_state& run, const log_reader& reader);
bool write_metrics_now(run_state& run, const run_result& result);
void say_error(diagnostics& errors, const run_error& error, message_priority priority);

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

// Reads every log, one after the other, and takes every line its way;
// with --follow, reads on as the last grows, until a signal ends the run.
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
        run.service.alive();
        if (shown != nullptr)
            show_progress(run, *shown);
        return must_stop(run);
    });
    shown = &reader;
    std::optional<log_follower> follower;
    if (run.options.follow) {
        run.follows_on = true;
        follower.emplace(run.options.follow_path, FOLLOW_TICK,
                         [&run, &pool, &reader] { return follow_tick(run, pool, reader); });
        run.follower = &*follower;
        run.service.ready();
        run.service.status("reading the logs given");
    }
    // A followed log's next file is added as the last is read; a followed
    // set of rotated logs that has no file yet starts with the first.
    if (run.follower != nullptr && run.logs.empty())
        follow_next_file(run, 0, "");
    for (std::size_t i = 0; i < run.logs.size() && !must_end_reading(run) && !run.read_failure; ++i)
        verify_log(run, pool, reader, i);
    take_all_lines(run, pool);
}

// Starts reading log index where the checkpoint says; false when it holds
// nothing to verify, or the bytes verified before cannot be passed.
bool start_log(run_state& run, log_reader& reader, std::size_t index)
{
    const run_checkpoint::reading reading = run.history.reading_of(index);
    run.log_text = nullptr;
    if (!reading.verify)
        return false;
    const int fd = run.logs[index].fd;
    // Matching the logs read them already.
    if (run.history.active() && lseek(fd, 0, SEEK_SET) < 0) {
        run.read_failure = system_error_of(run_error_kind::read_log, run.names[index], errno);
        return false;
    }
    reader.start(fd);
    if (reading.passed_bytes > 0) {
        const log_reader::status passed = reader.pass(reading.passed_bytes, nullptr);
        if (passed == log_reader::status::interrupted)
            return false;  // must_stop() takes it from here
        if (passed != log_reader::status::piece) {
            run.read_failure =
                text::run_error_of(run_error_kind::read_log, run.names[index], reader.error());
            return false;
        }
        reader.resume_at(reading.passed_lines, reading.at_line_start);
    }
    if (run.follower == nullptr) {
        reader.keep_digest(reading.digest, reading.hold_unfinished_line);
        return true;
    }
    // A follow run keeps the digest of every log it reads, to find where
    // the log stands among the rotated files once it is read.
    run.log_text = reading.digest;
    if (run.log_text == nullptr) {
        run.own_digest = std::make_unique<log_digest>();
        run.log_text = run.own_digest.get();
    }
    if (!follows(run, index)) {
        reader.keep_digest(run.log_text, reading.hold_unfinished_line);
        return true;
    }
    // The followed file: read on at its end; its last line waits for its
    // line end.
    run.followed_log = index;
    reader.keep_digest(run.log_text, true);
    reader.follow([&run, fd](uint64_t bytes_read, std::string_view last_read) {
        return run.follower->at_end(fd, bytes_read, last_read);
    });
    return true;
}

// Whether log index is the followed file, read on as it grows.
bool follows(const run_state& run, std::size_t index)
{
    return run.follower != nullptr && index + 1 == run.logs.size() &&
           run.names[index] == run.options.follow_path;
}

// Reads one log to its end, or until the run must stop; a followed file
// that was rotated is followed in its next file, which this adds.
void verify_log(run_state& run, check_pool& pool, log_reader& reader, std::size_t index)
{
    if (!start_log(run, reader, index))
        return;
    read_pieces(run, pool, reader, index);
    uint64_t last_line = reader.last_line();
    bool at_line_start = reader.at_line_start();
    run.bytes_of_logs_read += reader.bytes_consumed();
    const bool followed = run.followed_log == index;
    std::string copy;
    if (followed && run.follower->why_ended() == log_follower::ending::truncated &&
        !must_end_reading(run) && !run.read_failure && open_copy(run, reader, index, copy)) {
        read_pieces(run, pool, reader, index);
        last_line = reader.last_line();
        at_line_start = reader.at_line_start();
    }
    run.accounts.end_log();
    run.history.log_read(index, last_line, at_line_start);
    if (run.follower == nullptr)
        return;
    note_read_text(run);
    if (index + 1 == run.logs.size())
        follow_next_file(run, index, copy);
    // A follow run may read many files, one after the other: each is
    // closed once read (its identity is kept, to tell its copies).
    if (run.logs[index].fd >= 0 && run.logs[index].owned)
        (void)close(std::exchange(run.logs[index].fd, -1));
}

// In a follow run, the head of the text of the log just read (when this
// run read it), to tell the files after it among its rotated files.
void note_read_text(run_state& run)
{
    const rotated_files::text_head head = text_head_of(run.log_text);
    if (head.bytes == 0)
        return;
    run.read_texts.push_back(head);
    if (run.read_texts.size() > READ_TEXTS_KEPT)
        run.read_texts.erase(run.read_texts.begin());
}

// Reads the pieces of log index until its end, or until the run must stop.
void read_pieces(run_state& run, check_pool& pool, log_reader& reader, std::size_t index)
{
    const std::string& path = run.names[index];
    log_piece piece;
    while (!must_end_reading(run)) {
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
        if (!blank) {
            if (!run.options.metrics.empty())
                run.last_line_read = static_cast<unix_seconds>(std::time(nullptr));
            verify_line(run, pool, reader, piece.text, run.reading);
        }
        show_progress(run, reader);
        run.service.alive();
    }
}

// ------------------------------------------------------------ following

// A followed file cut back (copied, then truncated in place): the rest of
// what it held is read from its copy, the newest of the rotated files
// beside it, not read before, whose text begins with every byte read of
// the file; of those not read, the newest COPIES_TRIED are tried. False
// where none does: the lines written between the last read and the copy
// are then missing.
bool open_copy(run_state& run, log_reader& reader, std::size_t index, std::string& copy)
{
    const uint64_t read = reader.position();
    const uint64_t lines = reader.last_line();
    const bool at_line_start = reader.at_line_start();
    const sha256_digest read_tree = tree_hash(run.log_text->nodes(0));
    rotated_files set;
    if (!set.open(run.options.follow_path))
        return false;
    std::size_t tried = 0;
    for (std::size_t i = set.files().size(); i-- > 0 && tried < COPIES_TRIED;) {
        const rotated_files::file& candidate = set.files()[i];
        // Only a file still open is known by its identity: one closed may
        // have been deleted and its identity given to a new file since.
        const bool read_before =
            std::any_of(run.logs.begin(), run.logs.end(), [&candidate](const open_log& log) {
                return log.fd >= 0 && log.identity == candidate.identity;
            });
        if (candidate.path == run.options.follow_path || read_before)
            continue;
        ++tried;
        if (!begins_with_head_of(candidate.fd, *run.log_text) ||
            lseek(candidate.fd, 0, SEEK_SET) != 0)
            continue;
        open_log opened;
        opened.identity = candidate.identity;
        opened.fd = set.take(i);
        reader.start(opened.fd);
        log_digest passed;
        if (reader.pass(read, &passed) != log_reader::status::piece || passed.size() != read ||
            tree_hash(passed.nodes(0)) != read_tree)
            continue;
        // The copy is the log read from here on.
        std::swap(run.logs[index].fd, opened.fd);
        run.logs[index].identity = candidate.identity;
        reader.resume_at(lines, at_line_start);
        reader.keep_digest(run.log_text, false);
        copy = candidate.path;
        return true;
    }
    return false;
}

// The file after the newest one read among the followed log's rotated
// files, into next and path, when there is one; false when the run ends
// first.
bool take_file_after_newest_read(run_state& run, std::size_t index, open_log& next,
                                 std::string& path)
{
    rotated_files set;
    // A rotation storm is waited out: a set listed in the middle of one
    // could leave out a file not read yet.
    while (!set.open(run.options.follow_path)) {
        if (must_end_reading(run))
            return false;
        run.service.alive();
    }
    const std::optional<file_identity> last =
        index < run.logs.size() ? std::optional(run.logs[index].identity) : std::nullopt;
    const std::optional<std::size_t> at = set.newest_read(last, run.read_texts);
    if (at && *at + 1 < set.files().size()) {
        path = set.files()[*at + 1].path;
        next.identity = set.files()[*at + 1].identity;
        next.fd = set.take(*at + 1);
    }
    return true;
}

// After the last log was read, in a follow run: unless the run ends, the
// file after the newest one read in its set of rotated files becomes the
// next log (once there is one), the file that has the followed name when
// there is none or no file read is among them (all deleted, or none read
// but empty ones). A rotation is said when the last log was the followed
// file.
void follow_next_file(run_state& run, std::size_t index, const std::string& copy)
{
    const bool followed = run.followed_log == index;
    const log_follower::ending why = run.follower->why_ended();
    if (must_end_reading(run) || run.read_failure ||
        (followed && why == log_follower::ending::stopped))
        return;
    const std::string& live = run.options.follow_path;
    if (followed) {
        run.renderer->rotated(live, why == log_follower::ending::truncated ? "truncated" : "moved",
                              copy);
    }
    open_log next;
    std::string path = live;
    // A file cut back without a copy found is read again from its start,
    // as it is now.
    if (followed && why == log_follower::ending::truncated && copy.empty()) {
        next.fd = fcntl(run.logs[index].fd, F_DUPFD_CLOEXEC, 0);
        next.identity = run.logs[index].identity;
        if (next.fd < 0 || lseek(next.fd, 0, SEEK_SET) != 0) {
            run.read_failure = system_error_of(run_error_kind::read_log, live, errno);
            return;
        }
    }
    if (next.fd < 0 && !take_file_after_newest_read(run, index, next, path))
        return;
    if (next.fd < 0) {
        next.fd = run.follower->open_file(next.identity);
        if (next.fd < 0) {
            if (!must_end_reading(run))
                run.read_failure = system_error_of(run_error_kind::open_log, live, errno);
            return;
        }
    }
    struct stat file {};
    if (fstat(next.fd, &file) != 0 || !S_ISREG(file.st_mode)) {
        run.read_failure = text::run_error_of(run_error_kind::follow_needs_file, path);
        return;
    }
    run.caught_up = false;
    run.service.status("reading " + path);
    run.names.push_back(path);
    run.logs.push_back(std::move(next));
    run.accounts.add_log(path);
    run.history.add_log();
    // Saved at once: the log it ended with may go (deleted, or rotated away
    // for good), and a checkpoint whose last log is gone cannot go on.
    run.next_save = {};
}

// While the followed file waits for more: every line read is settled and
// recorded, the service manager hears that the run is alive, the gaps
// open long enough are said, and the checkpoint, the metrics and a summary
// are written when due. True once the run is to stop.
bool follow_tick(run_state& run, check_pool& pool, const log_reader& reader)
{
    // Caught up: waiting on the followed file, not on a rotated one.
    if (!run.caught_up && run.followed_log && *run.followed_log + 1 == run.logs.size()) {
        run.caught_up = true;
        run.service.status("following " + run.options.follow_path);
    }
    take_all_lines(run, pool);
    run.console.flush();
    run.service.alive();
    const auto now = std::chrono::steady_clock::now();
    for (const sequence_range& range :
         run.gaps.due(now, std::chrono::seconds(run.options.gap_wait), run.accounts))
        run.renderer->missing(range);
    if (run.history.active() && now >= run.next_save) {
        save_checkpoint(run, reader);
        run.next_save = now + std::chrono::seconds(run.options.checkpoint_every);
    }
    if (!run.options.metrics.empty() && now >= run.next_metrics) {
        (void)write_metrics_now(run, run.accounts.so_far());
        run.next_metrics = now + METRICS_EVERY;
    }
    if (now >= run.next_summary) {
        if (run.next_summary != std::chrono::steady_clock::time_point{})
            run.renderer->summary(run.accounts.so_far());
        run.next_summary = now + SUMMARY_EVERY;
    }
    return must_end_reading(run) || run.result_log.failed();
}

// Saves the checkpoint of a followed log: every line read is settled and,
// first, recorded where the system keeps it. A failed save is said once
// (the next one may work); the run goes on.
void save_checkpoint(run_state& run, const log_reader& reader)
{
    if (!run.followed_log || must_stop(run) || !run.result_log.sync())
        return;
    // The last line read is whole when its line end was read.
    if (reader.at_line_start())
        run.accounts.end_log();
    run.history.log_read(*run.followed_log, reader.last_line(), reader.at_line_start());
    const std::optional<run_error> error = run.history.write(run.accounts, run.result_log.size());
    if (error && !run.said_save_error && run.errors != nullptr) {
        run.said_save_error = true;
        say_error(*run.errors, *error, message_priority::warning);
    }
}

// Writes the metrics of result; false, having said why, when it cannot.
bool write_metrics_now(run_state& run, const run_result& result)
{
    metrics_moment moment;
    moment.following = run.follows_on && !must_end_reading(run);
    moment.last_line_read = run.last_line_read;
    moment.now = static_cast<unix_seconds>(std::time(nullptr));
    std::string problem;
    if (write_metrics(run.options.metrics,
                      metrics_text(run.options.whole_log_name(), result, moment), problem))
        return true;
    run.metrics_error =
        text::run_error_of(run_error_kind::write_metrics, run.options.metrics, problem);
    return false;
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
    if (run.follows_on && run.accounts.is_recorded(report.number))
        run.gaps.note(report.number, report.largest_before, std::chrono::steady_clock::now());
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
    if (run.follower != nullptr)
        run.service.stopping();
    // The records of lines come before the missing-number records, which a
    // followed log's next run writes anew after its own.
    const uint64_t line_records = run.result_log.size();
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
    // Only a run that completed replaces the checkpoint, after the records
    // it covers are kept; a follow run completes once it has reached its
    // followed file.
    const bool completed = !result.error && (!run.options.follow || run.followed_log.has_value());
    if ((completed && run.history.active() && !run.result_log.sync()) || !run.result_log.close()) {
        result.write_error = text::run_error_of(run_error_kind::write_result_log,
                                                run.options.result_log, run.result_log.error());
    }
    if (completed && !result.write_error)
        result.write_error = run.history.write(run.accounts, line_records);
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
        say_error(errors, **error,
                  (*error)->kind == run_error_kind::interrupted ? message_priority::warning
                                                                : message_priority::error);
    }
}

void say_error(diagnostics& errors, const run_error& error, message_priority priority)
{
    // A path's line end would split a journal's message.
    const bool escape = errors.is_terminal() || errors.is_journal();
    for (const std::string& text : quiet_error_texts(error, escape))
        errors.message(priority, text);
}

// Progress shows on a terminal in the quiet and JSON forms, a few times a
// second; asked for, anywhere, every few seconds.
constexpr std::chrono::milliseconds PROGRESS_ON_TERMINAL_MS{250};
constexpr std::chrono::milliseconds PROGRESS_ELSEWHERE_MS{2000};

bool shows_progress(const run_options& options, const report& renderer, const diagnostics& errors)
{
    // A followed log has no end to show the way to.
    if (options.follow)
        return false;
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

// The options with the files of each set of rotated logs among the logs,
// and the file a follow run follows.
run_options with_rotated_sets(const run_options& asked)
{
    run_options options = asked;
    if (asked.follow) {
        const bool set_last =
            !asked.rotated.empty() && asked.rotated.back().before_log >= asked.logs.size();
        options.follow_path = set_last ? asked.rotated.back().path : asked.logs.back();
    }
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
    run_options options = with_rotated_sets(asked);
    run_state run(options, console);
    run.errors = errors;
    run.asked = &asked;
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
    if (!options.metrics.empty() && !write_metrics_now(run, result) && !result.write_error)
        result.write_error = run.metrics_error;
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
