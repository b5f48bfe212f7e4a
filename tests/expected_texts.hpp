// What a user sees, written out independently of the tool's own text table
// so that the end-to-end and hostile tests catch a changed text: console
// texts, quiet lines and exit codes, shared by every test of the built tool.
#pragma once

#include <string>

inline const std::string BANNER = "tamberlo_orvel_verify - signed log verification";
inline const std::string EVENT_MODE = "\n\n   Validate event log\n\n";
inline const std::string USAGE =
    "\n\n   usage for transaction log: tamberlo_orvel_verify <filename>"
    "\n   usage for event log: tamberlo_orvel_verify <filename> -evl\n";

// Exit codes of the failure statuses -99, -100, -101 and -102.
constexpr int EXIT_ARGUMENT_COUNT = 157;
constexpr int EXIT_BAD_ARGUMENT = 156;
constexpr int EXIT_FILE_ERROR = 155;
constexpr int EXIT_COUNTED_ERRORS = 154;
// Status -103: the logs' history is not what their checkpoint verified.
constexpr int EXIT_HISTORY_CHANGED = 153;

// The exit code of a key error status printed as -0x<code>.
inline int exit_of_key_code(unsigned code)
{
    const unsigned low = (0U - code) & 0xFFU;
    return low != 0 ? static_cast<int>(low) : 1;
}

// ------------------------------------------------------------ console
inline std::string shown(const std::string& data, const std::string& sig)
{
    return "\n[" + data + "][" + sig + "]";
}
inline std::string key_error(long line, const std::string& code)
{
    return "\nmbedtls_pk_parse_public_key error at line " + std::to_string(line) + " (-0x" + code +
           ")";
}
inline std::string verify_error(long line)
{
    return "\nmbedtls_pk_verify error at line " + std::to_string(line);
}
inline std::string untrusted_key(long line)
{
    return "\nuntrusted key at line " + std::to_string(line);
}
inline std::string sequence_number_error(long line)
{
    return "\nsequence number error at line " + std::to_string(line);
}
inline std::string transaction_gap(long line)
{
    return "\nsequence2 error at line " + std::to_string(line);
}
inline std::string event_gap(long line)
{
    return "\nsequence1 error at line " + std::to_string(line);
}
inline std::string no_progression(long line)
{
    return "\nsequence3 error at line " + std::to_string(line);
}
inline std::string repeated_error(long line)
{
    return "\nsequence number repeated at line " + std::to_string(line);
}
inline std::string out_of_order_error(long line)
{
    return "\nsequence number out of order at line " + std::to_string(line);
}
inline std::string unexpected_error(long line)
{
    return "\nsequence number outside the expected range at line " + std::to_string(line);
}
inline std::string nothing_verified(long line)
{
    return "\nnothing verified error at line " + std::to_string(line);
}
inline std::string last_key_error_summary(long line, const std::string& code)
{
    return "Found error at line " + std::to_string(line) + " (-0x" + code + ")(20)!!\n";
}
inline std::string error_count_summary(long errors)
{
    return "Found " + std::to_string(errors) + " error(s) !!\n";
}
inline std::string clean_summary(long lines)
{
    return "\nVerification of " + std::to_string(lines) +
           " lines finished successful! (0 errors)\n";
}
inline std::string could_not_open(const std::string& path)
{
    return "\n  ! Could not open " + path + "\n\n";
}
inline std::string could_not_read(const std::string& path)
{
    return "\n  ! Could not read " + path + "\n\n";
}
inline std::string could_not_write(const std::string& path)
{
    return "\n  ! Could not write " + path + "\n\n";
}
inline std::string result_log_is_the_log(const std::string& path)
{
    return "\n  ! Could not open " + path + ": it is the log being verified\n\n";
}

// ------------------------------------------------------------ --quiet
inline std::string quiet_problem(const std::string& path, long line, const std::string& message)
{
    return path + ":" + std::to_string(line) + ": " + message + "\n";
}
inline std::string quiet_missing(const std::string& path, long first, long last)
{
    return path + ": missing sequence numbers " + std::to_string(first) + " to " +
           std::to_string(last) + " (" + std::to_string(last - first + 1) + ")\n";
}
inline std::string quiet_summary(const std::string& path, long checked, long ok, long errors)
{
    return path + ": " + std::to_string(checked) + " lines checked, " + std::to_string(ok) +
           " ok, " + std::to_string(errors) + (errors == 1 ? " error\n" : " errors\n");
}
inline std::string quiet_key(const std::string& path, const std::string& sha256,
                             const std::string& type, long lines, const std::string& trust = "")
{
    return path + ": key sha256:" + sha256 + " " + type + " on " + std::to_string(lines) +
           " line(s)" + (trust.empty() ? "" : ", " + trust) + "\n";
}
