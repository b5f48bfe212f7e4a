// The result log: one record per non-blank line, then one per missing
// sequence number. Every write goes through one writer that remembers the
// first failure, so that a lost record can never be reported as success.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "line_format.hpp"
#include "run_record.hpp"

// A file a run reads, as the system names it.
struct file_identity {
    dev_t device = 0;
    ino_t inode = 0;
};

class result_log_writer {
public:
    result_log_writer() = default;
    ~result_log_writer();
    result_log_writer(const result_log_writer&) = delete;
    result_log_writer& operator=(const result_log_writer&) = delete;

    enum class open_result { opened, failed, is_a_log, is_the_output, locked, is_trusted_keys };

    // A file the run reads, and the refusal of a result log that is it.
    struct read_file {
        file_identity identity;
        open_result refusal = open_result::is_a_log;
    };

    // Creates or truncates path for writing, unless it is one of the files
    // the run reads (by any path to it: the same device and inode), the
    // file standard output writes to, or a file another run holds; a FIFO
    // without a reader fails rather than blocks. Nothing is truncated
    // before these checks pass. On failure, error() tells why.
    open_result open(const std::string& path, const std::vector<read_file>& reads);

    // A settled line's record: its data field and its fate's ending.
    void record(const line_report& line);
    // The records of the missing numbers, in ascending order.
    void gap_records(log_mode mode, const std::vector<sequence_range>& missing);
    // The last record of a run that a signal stopped.
    void interrupted_record(int signal_number);

    // Flushes and closes; false when any write, the flush or the close
    // failed.
    bool close();

    bool failed() const { return error_number_ != 0; }
    // The system's words for the first failure.
    std::string error() const;

private:
    open_result check_and_truncate(int fd, const std::vector<read_file>& reads);
    void note_failure();

    std::FILE* file_ = nullptr;
    int error_number_ = 0;
};
