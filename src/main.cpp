// The process entry and the run driver: command line, result log, console
// report, summary and exit status.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "check_pool.hpp"
#include "line_format.hpp"
#include "report.hpp"
#include "run_types.hpp"
#include "sequence_check.hpp"
#include "signature_check.hpp"

namespace {

constexpr char EVENT_LOG_SWITCH[] = "-evl";
constexpr char RESULT_LOG_PATH[] = "out.log";
constexpr char HELP_OPTION[] = "--help";
constexpr char VERSION_OPTION[] = "--version";

// Lines longer than this are not copied for the workers.
constexpr std::size_t LARGE_LINE_BYTES = std::size_t{1024} * 1024;
static_assert(LINE_ROOM_BEFORE >= KEY_ARMOUR_ROOM_BEFORE &&
                  LINE_ROOM_AFTER >= KEY_ARMOUR_ROOM_AFTER,
              "the line buffer has room to wrap a key field in place");

// Exit statuses of the run; a key error of the last line returns its code.
constexpr int32_t STATUS_OK = 0;
constexpr int32_t STATUS_ARGUMENT_COUNT = -99;
constexpr int32_t STATUS_BAD_SWITCH = -100;
constexpr int32_t STATUS_FILE_ERROR = -101;
constexpr int32_t STATUS_COUNTED_ERRORS = -102;

// Owns a C stream; closes it at scope end unless closed before.
class c_file {
public:
    explicit c_file(FILE* file) : file_(file) {}
    ~c_file() { close(); }
    c_file(const c_file&) = delete;
    c_file& operator=(const c_file&) = delete;

    FILE* get() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }

    // Returns false when the stream had failed or its last flush fails.
    bool close()
    {
        if (file_ == nullptr)
            return true;
        const bool had_error = std::ferror(file_) != 0;
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        return !had_error && closed;
    }

private:
    FILE* file_;
};

// True when path names the file that is open as stream (also through
// another path, a hard link or a symbolic link).
bool is_same_file(FILE* stream, const char* path)
{
    struct stat open_file {};
    struct stat named_file {};
    return fstat(fileno(stream), &open_file) == 0 && stat(path, &named_file) == 0 &&
           open_file.st_dev == named_file.st_dev && open_file.st_ino == named_file.st_ino;
}

// Writes a checked line's record and console texts and counts its errors.
void report_line(run_state& state, const line_fields& fields, const line_verdict& verdict)
{
    const int line = static_cast<int>(state.line_counter);
    if (verdict.outcome == line_outcome::key_error) {
        // A key that does not parse still counts as an error; the line
        // counter stays, since the line never reached verification.
        ++state.error_count;
        state.last_result_code = verdict.key_code;
        console_print(text::key_parse_error, line, negated_code(verdict.key_code));
        result_log_print(state, text::record_key_error, fields.data);
        return;
    }

    // The record is the data field as it stood before the sequence check
    // splits it into items.
    result_log_print(state, "%s", fields.data);
    console_print(text::line_fields, fields.data, fields.signature);
    if (verdict.outcome == line_outcome::bad_signature) {
        ++state.error_count;
        result_log_print(state, "%s", text::record_error);
        console_print(text::verify_error, line);
    } else if (!seq_check_line(fields.data, state.mode)) {
        // A verified line without a usable sequence number cannot be placed
        // in the log's order, so it is an error too.
        ++state.error_count;
        result_log_print(state, "%s", text::record_error);
        console_print(text::sequence_number_error, line);
    } else {
        result_log_print(state, "%s", text::record_ok);
    }
    ++state.line_counter;
    state.last_result_code = 0;
}

void report_checked_lines(run_state& state, check_pool& pool)
{
    while (const queued_line* line = pool.oldest_checked()) {
        report_line(state, line->fields, line->verdict);
        pool.take_oldest();
    }
}

// Reports the oldest count queued lines, waiting for their checks.
void report_lines(run_state& state, check_pool& pool, std::size_t count)
{
    // What is printed so far stays visible while slow checks run.
    while (!pool.wait_checked(count, CONSOLE_FLUSH_INTERVAL_MS))
        console_flush();
    report_checked_lines(state, pool);
}

void report_all_lines(run_state& state, check_pool& pool)
{
    while (!pool.is_empty())
        report_lines(state, pool, pool.size());
}

void verify_line(run_state& state, check_pool& pool, char* line)
{
    trim_whitespace(line);
    if (*line == '\0')
        return;
    const line_fields fields = split_line(line);
    trim_whitespace(fields.signature);

    const std::size_t key_bytes = std::strlen(fields.key);
    const std::size_t bytes = key_bytes + std::strlen(fields.data) + std::strlen(fields.signature);
    if (bytes > LARGE_LINE_BYTES) {
        // Checked on this thread once every earlier line is reported. A long
        // key is wrapped in its armour where it stands, with the other fields
        // copied out of the armour's way, so that it is never copied whole.
        report_all_lines(state, pool);
        if (key_bytes <= LARGE_LINE_BYTES) {
            report_line(state, fields,
                        check_line_signature(fields.key, fields.data, fields.signature));
        } else {
            std::string data(fields.data);
            std::string signature(fields.signature);
            const line_verdict verdict =
                check_line_signature_in_place(fields.key, data.c_str(), signature.c_str());
            report_line(state, {fields.key, data.data(), signature.data()}, verdict);
        }
    } else {
        // A full queue is worked down by half, not line by line.
        while (pool.is_full(bytes))
            report_lines(state, pool, (pool.size() + 1) / 2);
        pool.queue(fields);
        report_checked_lines(state, pool);
    }
    console_flush_if_due();
}

int32_t print_summary(const run_state& state)
{
    const int line = static_cast<int>(state.line_counter);
    if (state.last_result_code != 0) {
        console_print(text::summary_last_key_error, line, negated_code(state.last_result_code),
                      text::summary_last_key_error_tag);
        return state.last_result_code;
    }
    if (state.error_count != 0) {
        console_print(text::summary_error_count, static_cast<int>(state.error_count));
        return STATUS_COUNTED_ERRORS;
    }
    if (state.line_counter > 1)
        console_print(text::summary_clean, line - 1);
    return STATUS_OK;
}

}  // namespace

int32_t run_verification(int argc, char** argv)
{
    return run_verification_with_workers(argc, argv, default_worker_count());
}

int32_t run_verification_with_workers(int argc, char** argv, unsigned workers)
{
    const int argument_count = argc - 1;
    if (argument_count == 1 && std::strcmp(argv[1], VERSION_OPTION) == 0) {
        console_print(text::version, TAMBERLO_ORVEL_VERIFY_VERSION);
        return STATUS_OK;
    }

    seq_reset();
    reset_next_field();
    console_print("%s", text::banner);

    if (argument_count == 1 && std::strcmp(argv[1], HELP_OPTION) == 0) {
        console_print("%s", text::usage);
        return STATUS_OK;
    }
    if (argument_count != 1 && argument_count != 2) {
        console_print("%s", text::usage);
        return STATUS_ARGUMENT_COUNT;
    }
    run_state state;
    if (argument_count == 2) {
        if (std::strcmp(argv[2], EVENT_LOG_SWITCH) != 0) {
            console_print("%s", text::usage);
            return STATUS_BAD_SWITCH;
        }
        state.mode = log_mode::event;
        console_print("%s", text::event_mode);
    }

    const char* const log_path = argv[1];
    c_file input(std::fopen(log_path, "r"));
    if (!input) {
        console_print(text::could_not_open_log, log_path);
        return STATUS_FILE_ERROR;
    }
    // Opening out.log for writing would destroy the log being verified.
    if (is_same_file(input.get(), RESULT_LOG_PATH)) {
        console_print("%s", text::result_log_is_the_log);
        return STATUS_FILE_ERROR;
    }
    c_file result_log(std::fopen(RESULT_LOG_PATH, "w"));
    if (!result_log) {
        console_print("%s", text::could_not_open_result_log);
        return STATUS_FILE_ERROR;
    }
    state.input = input.get();
    state.result_log = result_log.get();

    {
        check_pool pool(workers);
        while (char* line = read_line(state.input))
            verify_line(state, pool, line);
        report_all_lines(state, pool);
    }
    const bool read_failed = std::ferror(state.input) != 0;
    if (!read_failed)
        seq_scan_gaps(state);

    input.close();
    if (!result_log.close())
        state.result_log_failed = true;
    state.input = nullptr;
    state.result_log = nullptr;

    // A log that could not be read to its end was not verified: no summary.
    int32_t status = STATUS_FILE_ERROR;
    if (read_failed) {
        console_print(text::could_not_read_log, log_path);
    } else {
        status = print_summary(state);
    }
    if (state.result_log_failed) {
        console_print("%s", text::could_not_write_result_log);
        status = STATUS_FILE_ERROR;
    }
    console_flush();
    return status;
}

#ifndef TAMBERLO_ORVEL_VERIFY_NO_MAIN
namespace {

// POSIX keeps only the low 8 bits of an exit status; a failure whose low
// bits are all zero must still not look like success.
int process_exit_code(int32_t status)
{
    if (status == STATUS_OK)
        return 0;
    const int low_bits = static_cast<int>(static_cast<uint32_t>(status) & 0xFFU);
    return low_bits != 0 ? low_bits : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    // Progress is flushed at intervals, not line by line.
    static char console_buffer[1 << 16];
    // Without the buffer the console is merely slower.
    (void)std::setvbuf(stdout, console_buffer, _IOFBF, sizeof console_buffer);
    return process_exit_code(run_verification(argc, argv));
}
#endif
