// The result log: one record per non-blank line, then one per missing
// sequence number, and for a run that ended early a last record that says
// why. Every write goes through one writer that remembers the first
// failure, so that a lost record can never be reported as success.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "file_identity.hpp"
#include "line_format.hpp"
#include "run_record.hpp"

class result_log_writer {
public:
    // marks_failed_writes: a write that fails is followed, where a write is
    // still possible, by a record that says so (see last_record).
    explicit result_log_writer(bool marks_failed_writes = false);
    ~result_log_writer();
    result_log_writer(const result_log_writer&) = delete;
    result_log_writer& operator=(const result_log_writer&) = delete;

    enum class open_result {
        opened,
        failed,
        is_a_log,
        is_the_output,
        locked,
        is_trusted_keys,
        is_checkpoint,
    };

    // A file the run reads or writes, and the refusal of a result log that
    // is it. A file that may not be there yet (a first run's checkpoint)
    // is named by its path instead, looked up once the result log is open:
    // a result log of that path has just made it.
    struct read_file {
        file_identity identity;
        open_result refusal = open_result::is_a_log;
        std::string path;
    };

    // Creates or truncates path for writing, unless it is one of the files
    // the run reads (by any path to it: the same device and inode), the
    // file standard output writes to, or a file another run holds; a FIFO
    // without a reader fails rather than blocks. Nothing is truncated
    // before these checks pass. On failure, error() tells why. With
    // keep_bytes, a file's first keep_bytes bytes are kept (the records
    // of earlier runs of a followed log) and the records follow them.
    open_result open(const std::string& path, const std::vector<read_file>& reads,
                     uint64_t keep_bytes = 0);

    // A settled line's record: its data field and its fate's ending.
    void record(const line_report& line);
    // The records of the missing numbers, in ascending order.
    void gap_records(log_mode mode, const std::vector<sequence_range>& missing);
    // The last record of a run that error ended early, in the error's own
    // words (its kind's record text; nothing for a kind that has none), so
    // that the result log read alone cannot pass for that of a shorter
    // log. Its reason holds no comma and no line end: the text after a
    // record's last comma is always its kind.
    void last_record(const run_error& error);

    // Writes what is buffered and closes; false when any write or the
    // close failed.
    bool close();
    // Writes what is buffered and has the file's system keep it (a FIFO or
    // a device is only written); false when any write failed.
    bool sync();
    // The bytes of records so far, those buffered included.
    uint64_t size() const { return written_ + used_; }

    bool failed() const { return error_number_ != 0; }
    // The system's words for the first failure.
    std::string error() const;

private:
    open_result check_and_truncate(int fd, const std::vector<read_file>& reads,
                                   uint64_t keep_bytes);
    void append(std::string_view bytes);
    void write_buffer();
    void mark_failed_write();
    off_t record_end_before(off_t limit) const;
    bool write_all(std::string_view bytes);
    void note_failure();

    const bool marks_failed_writes_;
    std::string path_;
    int fd_ = -1;
    int error_number_ = 0;
    // Whether the bytes that reached the file end with a whole record.
    bool file_ends_line_ = true;
    // The bytes in the file before the buffer's.
    uint64_t written_ = 0;
    // Records are written in large blocks; what is buffered is known not
    // to have reached the file.
    std::array<char, std::size_t{1} << 16> buffer_{};
    std::size_t used_ = 0;
};
