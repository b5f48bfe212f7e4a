// Every console text and result-log record of the tool: fixed texts as
// printf formats, and one table row per line fate and per run error. A
// row's texts are patterns whose placeholders fill() replaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "run_record.hpp"

namespace text {

// A library code as every text shows it, with the value that prints it for
// a negative code.
inline constexpr char library_code[] = "-0x%04x";
inline unsigned negated_code(int32_t code) { return 0U - static_cast<unsigned>(code); }

// ------------------------------------------------------------ console
inline constexpr char version[] = "tamberlo_orvel_verify %s\n";
inline constexpr char banner[] = "tamberlo_orvel_verify - signed log verification";
inline constexpr char usage[] =
    "\n\n   usage for transaction log: tamberlo_orvel_verify <filename>"
    "\n   usage for event log: tamberlo_orvel_verify <filename> -evl\n";
// --help, as GNU programs give it: the usage lines first, where to report
// problems last. The plain form's usage text above stays as it is.
inline constexpr char help_usage[] =
    "Usage: tamberlo_orvel_verify <filename> [-evl]\n"
    "  or:  tamberlo_orvel_verify [options] <filename>... [-evl]\n"
    "Verify the signature and the sequence number of every line of a signed log,\n"
    "write a verdict per line to out.log and exit with 0 only when the log is sound.\n"
    "The first form verifies one log, an event log with -evl, exactly as the tool\n"
    "has always done; an argument that begins with -- chooses the second.\n";
inline constexpr char options[] =
    "\n"
    "   --trusted-keys=FILE  only the keys in FILE may sign the log: PEM PUBLIC KEY\n"
    "                        or CERTIFICATE blocks, base64 key lines or\n"
    "                        sha256:<64 hex digits>; may be given more than once;\n"
    "                        an entry may bound the lines its key signs with\n"
    "                        seq=A-B, revoked-after=N, not-before=T, not-after=T\n"
    "                        (after a key line or a fingerprint, or in a line\n"
    "                        conditions: WORDS before a PEM block)\n"
    "   --quiet              print only the problems, the missing numbers, a\n"
    "                        summary and the keys, one line each; nothing for\n"
    "                        a clean run (the form for cron)\n"
    "   --json               print one JSON document about the run, nothing else\n"
    "   --result-log=FILE    write the verdicts to FILE instead of out.log\n"
    "   --jobs=N             check lines on N worker threads (0: on the reading\n"
    "                        thread; default: one per hardware thread)\n"
    "   --event              verify an event log, like -evl\n"
    "   --strict             a repeated number, a number out of order, a line\n"
    "                        in a second encoding (an ECDSA signature not in DER,\n"
    "                        a key field with more than its key), and a run in\n"
    "                        which no line reached verification are errors\n"
    "   --expect-first=N     the log must begin with number N: those below the\n"
    "                        smallest seen are missing\n"
    "   --expect-last=N      the log must end with number N: those above the\n"
    "                        largest seen are missing\n"
    "   --checkpoint=FILE    verify only what was appended since the run that\n"
    "                        wrote FILE, prove that the rest is unchanged, and\n"
    "                        write FILE anew; logs must be files\n"
    "   --time-field=N       the data field's item N (from 1) is the line's time,\n"
    "                        ISO 8601 in UTC (2026-12-01T10:21:30Z): the dates of\n"
    "                        trusted keys and certificates are held to it, and\n"
    "                        with --strict a time that does not read, goes back\n"
    "                        or is ahead of the clock is an error\n"
    "   --time-tolerance=S   how many seconds a time may go back or be ahead of\n"
    "                        the clock (default 60)\n"
    "   --rotated=PATH       verify PATH and its rotated files found beside it\n"
    "                        (PATH.1, PATH.2.gz, ... or PATH-YYYYMMDD.gz),\n"
    "                        oldest first, those that exist; may be given more\n"
    "                        than once\n"
    "   --follow             after the logs are verified, read the last one on\n"
    "                        as it grows, across its rotations, saying each\n"
    "                        problem at once, until SIGTERM, SIGINT or SIGHUP\n"
    "   --gap-wait=S         with --follow, say a gap once it has stayed open\n"
    "                        S seconds (default 10)\n"
    "   --checkpoint-every=S with --follow, save the checkpoint every S seconds\n"
    "                        (default 60) and at the end\n"
    "   --metrics=FILE       write the counts to FILE in Prometheus' text\n"
    "                        format: every 5 s while following, and at the end\n"
    "   --progress           show how far the run has got on standard error,\n"
    "                        also where that is not a terminal (a line every\n"
    "                        few seconds)\n"
    "   --no-progress        never show it (by default it shows on a terminal\n"
    "                        with --quiet or --json)\n"
    "   --help               print this text\n"
    "   --version            print the version, the copyright and the licence\n"
    "   --                   end of the options: what follows is a log\n"
    "\n"
    "   Several logs are verified in the order given as one log; - is standard\n"
    "   input. Logs compressed with gzip, xz, zstd or bzip2 are read as they are.\n"
    "   With --quiet or --json, what stops a run is said on standard error.\n"
    "\n"
    "Exit status: 0 sound; 153 the history changed since the checkpoint; 154\n"
    "counted errors; 155 a file could not be opened, read or written; 156 or 157\n"
    "a command line the tool cannot follow; the low 8 bits of the key parser's\n"
    "code when the last line's key does not parse.\n";
// The last line of --help, with the address of the package's maintainer.
inline constexpr char report_bugs[] = "\nReport bugs to: %s\n";
// After the version line of --version.
inline constexpr char version_notice[] =
    "Copyright (C) 2026 The tamberlo_orvel_verify developers\n"
    "License: MIT (Expat) <https://spdx.org/licenses/MIT.html>\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";
inline constexpr char event_mode[] = "\n\n   Validate event log\n\n";
// A line whose key parsed shows "\n[data][signature]", written piece by
// piece: a field may be as long as a line.
inline constexpr char fields_begin[] = "\n[";
inline constexpr char fields_between[] = "][";
inline constexpr char fields_end[] = "]";
inline constexpr char event_gap[] = "\nsequence1 error at line %d";
inline constexpr char transaction_gap[] = "\nsequence2 error at line %d";
inline constexpr char no_progression[] = "\nsequence3 error at line %d";
inline constexpr char nothing_verified[] = "\nnothing verified error at line %d";
inline constexpr char summary_last_key_error[] = "Found error at line %d (-0x%04x)(%d)!!\n";
inline constexpr char summary_error_count[] = "Found %d error(s) !!\n";
inline constexpr char summary_clean[] =
    "\nVerification of %d lines finished successful! (0 errors)\n";

// The constant that every "Found error at line" summary carries.
inline constexpr int summary_last_key_error_tag = 20;

// A command line in the options form that cannot be followed: on standard
// error, after the program's name, with the problem.
inline constexpr char command_line_error[] = "{message} (see tamberlo_orvel_verify --help)";

// ------------------------------------------------------------ --quiet
// One line per problem, "PATH:LINE: message" or "PATH: message".
namespace quiet {
inline constexpr char missing[] = "%s: missing sequence numbers %u to %u (%u)\n";
inline constexpr char no_progression[] = "%s: sequence numbers never advance\n";
inline constexpr char nothing_verified[] = "%s: no line reached verification\n";
inline constexpr char summary[] = "%s: %llu lines checked, %llu ok, %llu error%s\n";
inline constexpr char key[] = "%s: key sha256:%s %s on %llu line(s)%s\n";
inline constexpr char key_trusted[] = ", trusted";
inline constexpr char key_untrusted[] = ", untrusted";
inline constexpr char keys_omitted[] =
    "%s: %llu line(s) signed by keys not listed (only the first %llu are)\n";
}  // namespace quiet

// What is wrong with a line of a trusted-keys file whose key does not parse,
// and with a certificate block that does not parse or whose key does not.
inline constexpr char trusted_key_does_not_parse[] = "key does not parse (-0x%04x)";
inline constexpr char trusted_certificate_does_not_parse[] = "certificate does not parse (-0x%04x)";
inline constexpr char trusted_certificate_key_does_not_parse[] =
    "the certificate's key does not parse (-0x%04x)";

// ------------------------------------------------------------ out.log
// A line's record is its data field followed by its fate's ending (see
// the table below) and a newline; a gap is a record of its own.
inline constexpr char record_event_gap[] = "/%d//,MISSING SEQUENCE\n";
inline constexpr char record_transaction_gap[] = "//%d//////,MISSING SEQUENCE\n";

// ------------------------------------------------------------ tables
// Placeholders in the patterns below:
//   {path}     a file's path            {line}     a physical line of it
//   {counter}  the line counter (%d)    {code}     a library code (-0x%04x)
//   {message}  the system's, the parser's or the kind's own words
//   {key}      a key's fingerprint, 64 hex digits
//   {number}   a sequence number        {detail}   what the fate adds
struct values {
    std::string_view path;
    uint64_t line = 0;
    uint32_t counter = 0;
    int32_t code = 0;
    std::string_view message;
    std::string_view key;
    uint32_t number = 0;
    std::string_view detail;
};

// pattern with every placeholder replaced by its value; any other text,
// braces included, stays as it is.
std::string fill(std::string_view pattern, const values& values);

// What a fate adds to its quiet line, as {detail}.
enum class fate_detail {
    none,
    first_seen,      // where a repeated number was first recorded
    largest_before,  // the largest number before one out of order
    expected_range,  // the numbers --expect-first and --expect-last allow
    key_conditions,  // why the key's conditions do not allow the line
    time_held,       // the line's time, and the time it was held to
};

// What a line's fate looks like in every rendering.
struct fate_texts {
    line_fate fate;
    const char* json_kind;      // "kind" of a JSON problem, its count in "errors"
    const char* record_ending;  // after the data field in the result log
    bool console_shows_fields;  // "\n[data][signature]" comes first
    const char* console;        // then this, or nothing (nullptr)
    const char* quiet;          // one line, or nothing (nullptr)
    fate_detail detail = fate_detail::none;
};

inline constexpr fate_texts FATES[] = {
    {line_fate::key_error, "key", ", PUBKEY ERROR", false,
     "\nmbedtls_pk_parse_public_key error at line {counter} ({code})",
     "{path}:{line}: key does not parse ({code})\n"},
    {line_fate::bad_signature, "signature", ",ERROR", true,
     "\nmbedtls_pk_verify error at line {counter}", "{path}:{line}: signature does not verify\n"},
    {line_fate::untrusted_key, "untrusted_key", ",ERROR", true, "\nuntrusted key at line {counter}",
     "{path}:{line}: untrusted key sha256:{key}\n"},
    {line_fate::no_sequence_number, "sequence_number", ",ERROR", true,
     "\nsequence number error at line {counter}", "{path}:{line}: no usable sequence number\n"},
    {line_fate::unexpected_number, "unexpected_sequence", ",ERROR", true,
     "\nsequence number outside the expected range at line {counter}",
     "{path}:{line}: sequence number {number} outside the expected range ({detail})\n",
     fate_detail::expected_range},
    {line_fate::repeated_number, "repeated_sequence", ",ERROR", true,
     "\nsequence number repeated at line {counter}",
     "{path}:{line}: sequence number {number} repeated ({detail})\n", fate_detail::first_seen},
    {line_fate::out_of_order, "out_of_order", ",ERROR", true,
     "\nsequence number out of order at line {counter}",
     "{path}:{line}: sequence number {number} out of order (after {detail})\n",
     fate_detail::largest_before},
    {line_fate::key_encoding, "key_encoding", ",ERROR", true,
     "\nkey encoding error at line {counter}",
     "{path}:{line}: key field is not the DER encoding of its key\n"},
    {line_fate::signature_encoding, "signature_encoding", ",ERROR", true,
     "\nsignature encoding error at line {counter}",
     "{path}:{line}: signature verifies, but is not DER\n"},
    {line_fate::key_not_valid, "key_not_valid", ",ERROR", true, "\nkey not valid at line {counter}",
     "{path}:{line}: key sha256:{key} not valid for sequence number {number} ({detail})\n",
     fate_detail::key_conditions},
    {line_fate::time_unreadable, "time_unreadable", ",ERROR", true,
     "\ntime error at line {counter}", "{path}:{line}: no ISO 8601 UTC time in the time field\n"},
    {line_fate::time_backwards, "time_backwards", ",ERROR", true,
     "\ntime going back at line {counter}",
     "{path}:{line}: time going back ({detail}, the latest before)\n", fate_detail::time_held},
    {line_fate::time_in_future, "time_in_future", ",ERROR", true,
     "\ntime in the future at line {counter}",
     "{path}:{line}: time in the future ({detail}, the run's clock)\n", fate_detail::time_held},
    {line_fate::ok, "ok", ",OK", true, nullptr, nullptr},
};

// What the quiet line of a fate says after its "PATH:LINE: ", without the
// line end.
std::string fate_words(line_fate fate, const values& values);

// The {detail} of a line's fate.
std::string detail_of(const line_report& line, const run_options& asked);
std::string detail_of(const line_problem& problem, const run_options& asked);

// What a run error looks like in every rendering. The console and quiet
// texts have a second form for an error that one line of a file is to
// blame for (nullptr: the same).
struct error_texts {
    run_error_kind kind;
    const char* json_kind;  // "kind" of the JSON error
    const char* message;    // the kind's own words, or nullptr for the system's
    const char* console;
    const char* console_at_line;
    const char* quiet;
    const char* quiet_at_line;
    // The last record of a result log that the error ended early, or
    // nullptr for an error before the result log is opened.
    const char* record = nullptr;
};

inline constexpr char COULD_NOT_OPEN[] = "\n  ! Could not open {path}\n\n";
inline constexpr char QUIET_COULD_NOT_OPEN[] = "{path}: could not open ({message})\n";
inline constexpr char COULD_NOT_USE_CHECKPOINT[] =
    "\n  ! Could not use the checkpoint {path}: {message}\n\n";
inline constexpr char QUIET_CHECKPOINT[] = "{path}: checkpoint: {message}\n";

inline constexpr error_texts ERRORS[] = {
    {run_error_kind::trusted_keys, "trusted_keys", nullptr,
     "\n  ! Could not use the trusted keys in {path}: {message}\n\n",
     "\n  ! Could not use the trusted keys in {path}, line {line}: {message}\n\n",
     "{path}: trusted keys: {message}\n", "{path}:{line}: trusted keys: {message}\n"},
    {run_error_kind::open_log, "open_log", nullptr, COULD_NOT_OPEN, nullptr, QUIET_COULD_NOT_OPEN,
     nullptr},
    {run_error_kind::read_log, "read_log", nullptr, "\n  ! Could not read {path}\n\n", nullptr,
     "{path}: could not read ({message})\n", nullptr,
     "could not read {path}: {message},INCOMPLETE\n"},
    {run_error_kind::open_result_log, "open_result_log", nullptr, COULD_NOT_OPEN, nullptr,
     QUIET_COULD_NOT_OPEN, nullptr},
    {run_error_kind::result_log_is_log, "result_log_is_log", "it is the log being verified",
     "\n  ! Could not open {path}: it is the log being verified\n\n", nullptr, QUIET_COULD_NOT_OPEN,
     nullptr},
    {run_error_kind::result_log_is_output, "result_log_is_output", "it is the standard output",
     "\n  ! Could not open {path}: it is the standard output\n\n", nullptr, QUIET_COULD_NOT_OPEN,
     nullptr},
    {run_error_kind::result_log_locked, "result_log_locked", "another run is writing it",
     "\n  ! Could not open {path}: another run is writing it\n\n", nullptr, QUIET_COULD_NOT_OPEN,
     nullptr},
    {run_error_kind::write_result_log, "write_result_log", nullptr,
     "\n  ! Could not write {path}\n\n", nullptr, "{path}: could not write ({message})\n", nullptr,
     "could not write {path}: {message},INCOMPLETE\n"},
    {run_error_kind::out_of_memory, "out_of_memory", nullptr,
     "\n  ! Out of memory at line {line} of {path}\n\n", nullptr, "{path}: out of memory\n",
     "{path}:{line}: out of memory\n", "out of memory at line {line} of {path},INCOMPLETE\n"},
    {run_error_kind::interrupted, "interrupted", nullptr,
     "\n  ! Interrupted by {message} after line {line} of {path}\n\n", nullptr,
     "{path}: interrupted by {message}\n", "{path}:{line}: interrupted by {message}\n",
     // So that a result log read alone cannot pass for that of a shorter log.
     "interrupted by {message},INTERRUPTED\n"},
    {run_error_kind::date_needs_time, "date_needs_time",
     "a date condition needs --time-field, the item of a line's time",
     "\n  ! Could not use the trusted keys in {path}: {message}\n\n",
     "\n  ! Could not use the trusted keys in {path}, line {line}: {message}\n\n",
     "{path}: trusted keys: {message}\n", "{path}:{line}: trusted keys: {message}\n"},
    {run_error_kind::result_log_is_trusted_keys, "result_log_is_trusted_keys",
     "it holds the trusted keys", "\n  ! Could not open {path}: it holds the trusted keys\n\n",
     nullptr, QUIET_COULD_NOT_OPEN, nullptr},
    {run_error_kind::checkpoint, "checkpoint", nullptr, COULD_NOT_USE_CHECKPOINT, nullptr,
     QUIET_CHECKPOINT, nullptr},
    {run_error_kind::checkpoint_locked, "checkpoint_locked", "another run is using it",
     COULD_NOT_USE_CHECKPOINT, nullptr, QUIET_CHECKPOINT, nullptr},
    {run_error_kind::checkpoint_needs_file, "checkpoint_needs_file",
     "a checkpoint needs logs that are files", "\n  ! Could not read {path}: {message}\n\n",
     nullptr, "{path}: could not read ({message})\n", nullptr},
    {run_error_kind::history_changed, "history_changed", nullptr,
     "\n  ! History changed: {path}: {message}\n\n",
     "\n  ! History changed: {path}, line {line}: {message}\n\n",
     "{path}: history changed: {message}\n", "{path}:{line}: history changed: {message}\n"},
    {run_error_kind::log_is_checkpoint, "log_is_checkpoint", "it is the checkpoint",
     "\n  ! Could not open {path}: it is the checkpoint\n\n", nullptr, QUIET_COULD_NOT_OPEN,
     nullptr},
    {run_error_kind::result_log_is_checkpoint, "result_log_is_checkpoint", "it is the checkpoint",
     "\n  ! Could not open {path}: it is the checkpoint\n\n", nullptr, QUIET_COULD_NOT_OPEN,
     nullptr},
    {run_error_kind::write_checkpoint, "write_checkpoint", nullptr,
     "\n  ! Could not write the checkpoint {path}: {message}\n\n", nullptr,
     "{path}: could not write the checkpoint ({message})\n", nullptr},
    {run_error_kind::follow_needs_file, "follow_needs_file", "a followed log must be a file",
     "\n  ! Could not follow {path}: {message}\n\n", nullptr,
     "{path}: could not follow ({message})\n", nullptr},
    {run_error_kind::write_metrics, "write_metrics", nullptr,
     "\n  ! Could not write the metrics {path}: {message}\n\n", nullptr,
     "{path}: could not write the metrics ({message})\n", nullptr},
};

// Each table has a row for every value, in the enumeration's order.
template <typename Row, std::size_t N, typename Kind>
constexpr bool rows_in_order(const Row (&rows)[N], Kind Row::*kind)
{
    for (std::size_t i = 0; i < N; ++i) {
        if (static_cast<std::size_t>(rows[i].*kind) != i)
            return false;
    }
    return true;
}
static_assert(rows_in_order(FATES, &fate_texts::fate) &&
              std::size(FATES) == static_cast<std::size_t>(line_fate::ok) + 1);
static_assert(rows_in_order(ERRORS, &error_texts::kind) &&
              std::size(ERRORS) == static_cast<std::size_t>(run_error_kind::write_metrics) + 1);

constexpr const fate_texts& fate_of(line_fate fate)
{
    return FATES[static_cast<std::size_t>(fate)];
}
constexpr const error_texts& error_of(run_error_kind kind)
{
    return ERRORS[static_cast<std::size_t>(kind)];
}

// An error of kind, in the kind's own words where it has them, else in
// message (the system's or the parser's words).
run_error run_error_of(run_error_kind kind, const std::string& path, std::string message = "",
                       uint64_t line = 0);

// The result log's last record for error (empty for a kind that has none),
// its commas and line ends in path and message replaced, so that the text
// after its last comma is its kind.
std::string result_log_record(const run_error& error);

}  // namespace text
