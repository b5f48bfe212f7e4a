// What a run found out, as the reports read it: where a line stands, what
// became of it, what stopped the run, and the whole-run facts. The run
// fills it; the reports only read it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "key_conditions.hpp"
#include "key_identity.hpp"
#include "line_time.hpp"
#include "run_options.hpp"
#include "run_status.hpp"
#include "sequence_check.hpp"

// Where a line stands: which log, and its physical line there (1-based,
// blank lines counted).
struct line_position {
    std::size_t log = 0;
    uint64_t line = 0;
};

// What became of a line that was not blank (its texts: text::fate_of), in
// the order the reports count them. A new fate is its value here, its row
// in text::FATES and the ledger's rule that gives it.
enum class line_fate {
    key_error,           // its key does not parse
    bad_signature,       // its signature does not verify
    untrusted_key,       // its key is not one of the trusted keys
    no_sequence_number,  // verified, but it carries no usable sequence number
    unexpected_number,   // its number lies outside --expect-first and --expect-last
    repeated_number,     // --strict: its number was recorded before (a replay)
    out_of_order,        // --strict: a new number below the largest recorded before
    key_encoding,        // --strict: its key field is not the one DER encoding of its key
    signature_encoding,  // --strict: its ECDSA signature verifies, but is not DER
    key_not_valid,       // its trusted key's conditions do not allow it
    time_unreadable,     // --strict --time-field: no time in its time field
    time_backwards,      // --strict --time-field: its time goes back past the tolerance
    time_in_future,      // --strict --time-field: its time is ahead of the clock
    ok,
};
inline constexpr std::size_t LINE_FATES = static_cast<std::size_t>(line_fate::ok) + 1;

// The fates of lines that did not verify: their key or their signature,
// whatever their sequence number.
constexpr bool fails_verification(line_fate fate)
{
    return fate == line_fate::key_error || fate == line_fate::bad_signature ||
           fate == line_fate::untrusted_key || fate == line_fate::key_encoding ||
           fate == line_fate::signature_encoding || fate == line_fate::key_not_valid;
}

// Why a line's time or its key's conditions did not allow it: the entry of
// the trusted key that did not (with why), the line's time, and the time
// it was held to (the latest so far, or the run's clock).
struct line_refusal {
    const key_conditions* entry = nullptr;
    condition_miss miss = condition_miss::none;
    std::optional<unix_seconds> time;
    unix_seconds held_to = 0;
};

// One settled line as the reports see it.
struct line_report {
    line_position where;
    // The line counter as messages show it: lines that reached verification
    // before this one, plus one.
    uint32_t counter = 0;
    const char* data = "";
    const char* signature = "";
    line_fate fate = line_fate::ok;
    int32_t key_code = 0;               // for key_error
    const key_identity* key = nullptr;  // when keys are identified
    // For the fates of a sequence number: the number; where a repeated
    // number was first recorded (first_path empty when that is not known);
    // the largest number recorded before an out-of-order one.
    uint32_t number = 0;
    std::string_view first_path;
    uint64_t first_line = 0;
    uint32_t largest_before = 0;
    line_refusal refusal;
};

// A line problem as the reports list it, with what its texts need.
struct line_problem {
    line_position where;
    line_fate fate = line_fate::ok;
    int32_t key_code = 0;
    std::optional<key_fingerprint> key;
    // As in line_report.
    uint32_t number = 0;
    std::string first_path;
    uint64_t first_line = 0;
    uint32_t largest_before = 0;
    line_refusal refusal;
};

// A line problem that an earlier run found (with --checkpoint): still
// counted, and still listed, under the name its log had then.
struct earlier_problem {
    std::string path;
    uint64_t line = 0;
    line_fate fate = line_fate::ok;
    int32_t key_code = 0;
    std::optional<key_fingerprint> key;
    uint32_t number = 0;
    std::string detail;  // what the fate added to its quiet line then
};

// A key that signed lines of the log.
struct key_seen {
    key_identity key;
    uint64_t lines = 0;
    std::optional<bool> trusted;  // known only with trusted keys
    // The entries of a trusted key with conditions.
    const std::vector<key_conditions>* conditions = nullptr;
};

// What stopped or spoiled a run (its texts: text::error_of).
enum class run_error_kind {
    trusted_keys,                // a trusted-keys file cannot be read or holds a bad entry
    open_log,                    // a log cannot be opened
    read_log,                    // a log cannot be read to its end
    open_result_log,             // the result log cannot be opened
    result_log_is_log,           // the result log is one of the logs
    result_log_is_output,        // the result log is the standard output
    result_log_locked,           // another run is writing the result log
    write_result_log,            // the result log cannot be written completely
    out_of_memory,               // the run ran out of memory at a line
    interrupted,                 // a signal stopped the run after a line
    date_needs_time,             // a trusted key's dates, and no --time-field
    result_log_is_trusted_keys,  // the result log is a trusted-keys file
    checkpoint,                  // the checkpoint cannot be read, or is not one
    checkpoint_locked,           // another run is using the checkpoint
    checkpoint_needs_file,       // a log given with a checkpoint is not a file
    history_changed,             // a byte verified before differs, or a log is missing or moved
    log_is_checkpoint,           // a log is the checkpoint
    result_log_is_checkpoint,    // the result log is the checkpoint
    write_checkpoint,            // the checkpoint cannot be replaced
    follow_needs_file,           // the log to follow is not a file
    write_metrics,               // the metrics file cannot be replaced
};

// What a run with a checkpoint did with it.
struct checkpoint_report {
    std::string path;
    uint64_t verified_lines = 0;  // physical lines read and verified in this run
    uint64_t resumed_lines = 0;   // physical lines verified by earlier runs
    std::vector<std::string> retired_logs;
    bool written = false;
};

// A line of a file that an error names, with what is wrong with it.
struct named_line {
    uint64_t line = 0;
    std::string message;
};

struct run_error {
    run_error() = default;
    run_error(run_error_kind error_kind, std::string error_path, std::string error_message = "",
              uint64_t error_line = 0)
        : kind(error_kind),
          path(std::move(error_path)),
          message(std::move(error_message)),
          line(error_line)
    {
    }

    run_error_kind kind = run_error_kind::open_log;
    std::string path;
    std::string message;  // the system's or the parser's words, or the kind's own
    uint64_t line = 0;    // the file's line, where one is to blame
    // Lines of the file each to blame on its own (a history that changed
    // there): said one by one instead of line and message.
    std::vector<named_line> lines;
};

// At most this many line problems are kept for the JSON document.
inline constexpr std::size_t KEPT_PROBLEMS = 1000;
// At most this many keys are listed, so that a log of one-off keys runs in
// bounded memory; the lines of the others are counted.
inline constexpr std::size_t KEPT_KEYS = 1000;

// Everything a run found out; the reports are made from it.
struct run_result {
    uint64_t lines_read = 0;  // physical lines
    uint64_t lines_blank = 0;
    uint64_t lines_checked = 0;  // lines that reached verification
    // The lines of each fate: those of line_fate::ok are the records that
    // end ",OK", every other fate is an error.
    std::array<uint64_t, LINE_FATES> lines_by_fate{};
    uint64_t& lines_of(line_fate fate) { return lines_by_fate[static_cast<std::size_t>(fate)]; }
    uint64_t lines_of(line_fate fate) const
    {
        return lines_by_fate[static_cast<std::size_t>(fate)];
    }

    // The errors of the whole run: missing numbers, numbers that never
    // advanced, and (--strict) no line that reached verification.
    uint64_t missing_numbers = 0;
    bool no_progression = false;
    bool nothing_verified = false;

    // Facts of every run: verified lines whose number was recorded before,
    // and new numbers below the largest recorded before.
    uint64_t repeated_numbers = 0;
    uint64_t out_of_order_numbers = 0;

    // Parse code of the last non-blank line when its key did not parse.
    int32_t last_result_code = 0;

    std::optional<uint32_t> first_number;
    std::optional<uint32_t> last_number;
    std::vector<sequence_range> missing;

    std::vector<key_seen> keys;
    // Lines whose key is not listed in keys.
    uint64_t key_lines_omitted = 0;
    // The problems earlier runs found (with --checkpoint), then this run's;
    // at most KEPT_PROBLEMS of both, the others counted.
    std::vector<earlier_problem> earlier_problems;
    std::vector<line_problem> problems;
    uint64_t problems_omitted = 0;

    // What ended the run early, or made it fail after its summary.
    std::optional<run_error> error;
    std::optional<run_error> write_error;
    // The signal that stopped the run, or 0.
    int interrupted_by = 0;
    // With --checkpoint.
    std::optional<checkpoint_report> checkpoint;

    run_status status = run_status::ok;

    // The error count as the summary reports it.
    uint64_t counted_errors() const
    {
        uint64_t errors = missing_numbers + (no_progression ? 1 : 0) + (nothing_verified ? 1 : 0);
        for (std::size_t fate = 0; fate < LINE_FATES; ++fate) {
            if (fate != static_cast<std::size_t>(line_fate::ok))
                errors += lines_by_fate[fate];
        }
        return errors;
    }
    // Whether the lines themselves are sound, whatever happened to the
    // files.
    bool log_is_sound() const { return counted_errors() == 0 && last_result_code == 0; }
    // The line counter after the last line.
    uint32_t line_counter() const { return static_cast<uint32_t>(lines_checked + 1); }
    // What the process exits with.
    int exit_code() const { return process_exit_code(status, interrupted_by); }
};
