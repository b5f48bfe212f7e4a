// One run of the tool: what it is asked to do, and what happened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run_types.hpp"
#include "sequence_check.hpp"
#include "signature_check.hpp"

// How the console shows the run.
enum class report_style {
    console,  // banner, every line, messages and summary
    quiet,    // one line per problem, then the whole-log facts
    json,     // one JSON document at the end, nothing else
};

// What the command line asks for.
struct run_options {
    // The logs, verified in this order as one log.
    std::vector<std::string> logs;
    // "-" as a log means standard input (not in the command line's plain form).
    bool dash_is_standard_input = false;
    log_mode mode = log_mode::transaction;
    report_style style = report_style::console;
    std::vector<std::string> trusted_key_files;
    std::string result_log = "out.log";
    // Worker threads that check lines; 0 checks them on the reading thread.
    unsigned workers = 1;
};

// Where a line stands: which log, and its physical line there (1-based,
// blank lines counted).
struct line_position {
    std::size_t log = 0;
    uint64_t line = 0;
};

// What became of a line that was not blank.
enum class line_fate {
    key_error,           // its key does not parse
    bad_signature,       // its signature does not verify
    untrusted_key,       // its key is not one of the trusted keys
    no_sequence_number,  // verified, but it carries no usable sequence number
    ok,
};

// One line as the reports see it.
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
};

// A line problem as the JSON document lists it.
struct line_problem {
    line_position where;
    line_fate fate = line_fate::ok;
    int32_t key_code = 0;
};

// A key that signed lines of the log.
struct key_seen {
    key_identity key;
    uint64_t lines = 0;
    std::optional<bool> trusted;  // known only with trusted keys
};

// What stopped or spoiled a run.
enum class run_error_kind {
    trusted_keys,          // a trusted-keys file cannot be read or holds a bad entry
    open_log,              // a log cannot be opened
    read_log,              // a log cannot be read to its end
    open_result_log,       // the result log cannot be opened
    result_log_is_log,     // the result log is one of the logs
    result_log_is_output,  // the result log is the standard output
    result_log_locked,     // another run is writing the result log
    write_result_log,      // the result log cannot be written completely
    out_of_memory,         // the run ran out of memory at a line
    interrupted,           // a signal stopped the run after a line
};

struct run_error {
    run_error_kind kind = run_error_kind::open_log;
    std::string path;
    std::string message;  // the system's or the parser's words
    uint64_t line = 0;    // the file's line, where one is to blame
};

// At most this many line problems are kept for the JSON document.
inline constexpr std::size_t KEPT_PROBLEMS = 1000;

// Everything a run found out; the reports are made from it.
struct run_result {
    uint64_t lines_read = 0;  // physical lines
    uint64_t lines_blank = 0;
    uint64_t lines_checked = 0;  // lines that reached verification
    uint64_t lines_ok = 0;       // records that end ",OK"

    uint64_t key_errors = 0;
    uint64_t signature_errors = 0;
    uint64_t untrusted_key_errors = 0;
    uint64_t sequence_number_errors = 0;
    uint64_t missing_numbers = 0;
    bool no_progression = false;

    // Parse code of the last non-blank line when its key did not parse.
    int32_t last_result_code = 0;

    std::optional<uint32_t> first_number;
    std::optional<uint32_t> last_number;
    std::vector<sequence_range> missing;

    std::vector<key_seen> keys;
    std::vector<line_problem> problems;
    uint64_t problems_omitted = 0;

    // What ended the run early, or made it fail after its summary.
    std::optional<run_error> error;
    std::optional<run_error> write_error;
    // The signal that stopped the run, or 0.
    int interrupted_by = 0;

    run_status status = run_status::ok;

    // The error count as the summary reports it.
    uint64_t counted_errors() const
    {
        return key_errors + signature_errors + untrusted_key_errors + sequence_number_errors +
               missing_numbers + (no_progression ? 1 : 0);
    }
    // The line counter after the last line.
    uint32_t line_counter() const { return static_cast<uint32_t>(lines_checked + 1); }
};

// Verifies the logs as the options say, reporting on standard output, and
// returns the run's status.
run_status run_verification(const run_options& options);
