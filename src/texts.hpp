// Every console text and result-log record of the tool.
#pragma once

#include <cstdint>

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
    "                        sha256:<64 hex digits>; may be given more than once\n"
    "   --quiet              print only the problems, the missing numbers, a\n"
    "                        summary and the keys, one line each\n"
    "   --json               print one JSON document about the run, nothing else\n"
    "   --result-log=FILE    write the verdicts to FILE instead of out.log\n"
    "   --jobs=N             check lines on N worker threads (0: on the reading\n"
    "                        thread; default: one per hardware thread)\n"
    "   --event              verify an event log, like -evl\n"
    "   --help               print this text\n"
    "   --version            print the version, the copyright and the licence\n"
    "   --                   end of the options: what follows is a log\n"
    "\n"
    "   Several logs are verified in the order given as one log; - is standard\n"
    "   input. Logs compressed with gzip, xz, zstd or bzip2 are read as they are.\n"
    "\n"
    "Exit status: 0 sound; 154 counted errors; 155 a file could not be opened,\n"
    "read or written; 156 or 157 a command line the tool cannot follow; the low\n"
    "8 bits of the key parser's code when the last line's key does not parse.\n";
// The last line of --help, with the address of the package's maintainer.
inline constexpr char report_bugs[] = "\nReport bugs to: %s\n";
// After the version line of --version.
inline constexpr char version_notice[] =
    "Copyright (C) 2026 The tamberlo_orvel_verify developers\n"
    "License: MIT (Expat) <https://spdx.org/licenses/MIT.html>\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";
inline constexpr char event_mode[] = "\n\n   Validate event log\n\n";
inline constexpr char could_not_open[] = "\n  ! Could not open %s\n\n";
inline constexpr char result_log_is_the_log[] =
    "\n  ! Could not open %s: it is the log being verified\n\n";
inline constexpr char result_log_is_the_output[] =
    "\n  ! Could not open %s: it is the standard output\n\n";
inline constexpr char result_log_locked[] =
    "\n  ! Could not open %s: another run is writing it\n\n";
inline constexpr char out_of_memory[] = "\n  ! Out of memory at line %llu of %s\n\n";
inline constexpr char interrupted[] = "\n  ! Interrupted by %s after line %llu of %s\n\n";
inline constexpr char could_not_read[] = "\n  ! Could not read %s\n\n";
inline constexpr char could_not_write[] = "\n  ! Could not write %s\n\n";
inline constexpr char could_not_use_trusted_keys[] =
    "\n  ! Could not use the trusted keys in %s: %s\n\n";
inline constexpr char could_not_use_trusted_key_line[] =
    "\n  ! Could not use the trusted keys in %s, line %llu: %s\n\n";
inline constexpr char line_fields[] = "\n[%s][%s]";
inline constexpr char key_parse_error[] =
    "\nmbedtls_pk_parse_public_key error at line %d (-0x%04x)";
inline constexpr char verify_error[] = "\nmbedtls_pk_verify error at line %d";
inline constexpr char untrusted_key[] = "\nuntrusted key at line %d";
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

// A command line in the options form that cannot be followed: on standard
// error, with the problem.
inline constexpr char command_line_error[] =
    "tamberlo_orvel_verify: %s (see tamberlo_orvel_verify --help)\n";

// ------------------------------------------------------------ --quiet
// One line per problem, "PATH:LINE: message" or "PATH: message".
namespace quiet {
inline constexpr char key_error[] = "%s:%llu: key does not parse (-0x%04x)\n";
inline constexpr char bad_signature[] = "%s:%llu: signature does not verify\n";
inline constexpr char untrusted_key[] = "%s:%llu: untrusted key sha256:%s\n";
inline constexpr char no_sequence_number[] = "%s:%llu: no usable sequence number\n";
inline constexpr char missing[] = "%s: missing sequence numbers %u to %u (%u)\n";
inline constexpr char no_progression[] = "%s: sequence numbers never advance\n";
inline constexpr char summary[] = "%s: %llu lines checked, %llu ok, %llu errors\n";
inline constexpr char key[] = "%s: key sha256:%s %s on %llu line(s)%s\n";
inline constexpr char key_trusted[] = ", trusted";
inline constexpr char key_untrusted[] = ", untrusted";
inline constexpr char could_not_open[] = "%s: could not open (%s)\n";
inline constexpr char out_of_memory[] = "%s:%llu: out of memory\n";
inline constexpr char interrupted[] = "%s:%llu: interrupted by %s\n";
inline constexpr char could_not_read[] = "%s: could not read (%s)\n";
inline constexpr char could_not_write[] = "%s: could not write (%s)\n";
inline constexpr char trusted_keys[] = "%s: trusted keys: %s\n";
inline constexpr char trusted_key_line[] = "%s:%llu: trusted keys: %s\n";
}  // namespace quiet

// What is wrong with a line of a trusted-keys file whose key does not parse,
// and with a certificate block that does not parse or whose key does not.
inline constexpr char trusted_key_does_not_parse[] = "key does not parse (-0x%04x)";
inline constexpr char trusted_certificate_does_not_parse[] = "certificate does not parse (-0x%04x)";
inline constexpr char trusted_certificate_key_does_not_parse[] =
    "the certificate's key does not parse (-0x%04x)";

// ------------------------------------------------------------ out.log
// A line's record is its data field followed by one of the endings; a key
// error and a gap are records of their own.
inline constexpr char record_key_error[] = "%s, PUBKEY ERROR\n";
inline constexpr char record_ok[] = ",OK\n";
inline constexpr char record_error[] = ",ERROR\n";
inline constexpr char record_event_gap[] = "/%d//,MISSING SEQUENCE\n";
inline constexpr char record_transaction_gap[] = "//%d//////,MISSING SEQUENCE\n";
// So that a result log read alone cannot pass for that of a shorter log.
inline constexpr char record_interrupted[] = "interrupted by signal %d,INTERRUPTED\n";

}  // namespace text
