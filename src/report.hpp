// Every console text and result-log record of the tool, and the two sinks
// they go through.
#pragma once

#include "run_types.hpp"

namespace text {

// Console texts.
inline constexpr char version[] = "tamberlo_orvel_verify %s\n";
inline constexpr char banner[] = "tamberlo_orvel_verify - signed log verification";
inline constexpr char usage[] =
    "\n\n   usage for transaction log: tamberlo_orvel_verify <filename>"
    "\n   usage for event log: tamberlo_orvel_verify <filename> -evl\n";
inline constexpr char event_mode[] = "\n\n   Validate event log\n\n";
inline constexpr char could_not_open_log[] = "\n  ! Could not open %s\n\n";
inline constexpr char could_not_open_result_log[] = "\n  ! Could not open out.log\n\n";
inline constexpr char result_log_is_the_log[] =
    "\n  ! Could not open out.log: it is the log being verified\n\n";
inline constexpr char could_not_read_log[] = "\n  ! Could not read %s\n\n";
inline constexpr char could_not_write_result_log[] = "\n  ! Could not write out.log\n\n";
inline constexpr char line_fields[] = "\n[%s][%s]";
inline constexpr char key_parse_error[] =
    "\nmbedtls_pk_parse_public_key error at line %d (-0x%04x)";
inline constexpr char verify_error[] = "\nmbedtls_pk_verify error at line %d";
inline constexpr char sequence_number_error[] = "\nsequence number error at line %d";
inline constexpr char event_gap[] = "\nsequence1 error at line %d";
inline constexpr char transaction_gap[] = "\nsequence2 error at line %d";
inline constexpr char no_progression[] = "\nsequence3 error at line %d";
inline constexpr char summary_last_key_error[] = "Found error at line %d (-0x%04x)(%d)!!\n";
inline constexpr char summary_error_count[] = "Found %d error(s) !!\n";
inline constexpr char summary_clean[] =
    "\nVerification of %d lines finished successful! (0 errors)\n";

// The constant that every "Found error at line" summary carries.
inline constexpr int summary_last_key_error_tag = 20;

// Result-log records. A line's record is its data field followed by one of
// the endings; a key error and a gap are records of their own.
inline constexpr char record_key_error[] = "%s, PUBKEY ERROR\n";
inline constexpr char record_ok[] = ",OK\n";
inline constexpr char record_error[] = ",ERROR\n";
inline constexpr char record_event_gap[] = "/%d//,MISSING SEQUENCE\n";
inline constexpr char record_transaction_gap[] = "//%d//////,MISSING SEQUENCE\n";

}  // namespace text

// Formatted text to standard output. Console write errors are not reported.
__attribute__((format(printf, 1, 2))) void console_print(const char* format, ...);

// Console output is buffered; it is flushed at the end of a run, and while
// the run goes on at least every CONSOLE_FLUSH_INTERVAL_MS so that progress
// shows.
inline constexpr unsigned CONSOLE_FLUSH_INTERVAL_MS = 100;
void console_flush();
void console_flush_if_due();

// Formatted text to the result log; a failed write marks the run.
__attribute__((format(printf, 2, 3))) void result_log_print(run_state& state, const char* format,
                                                            ...);

// The value that "-0x%04x" prints for a negative library code.
inline unsigned negated_code(int32_t code) { return 0U - static_cast<unsigned>(code); }
