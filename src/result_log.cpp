#include "result_log.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "texts.hpp"

namespace {

using read_file = result_log_writer::read_file;

// The file of reads that file is, or nullptr.
const read_file* read_file_of(const struct stat& file, const std::vector<read_file>& reads)
{
    const auto found = std::find_if(reads.begin(), reads.end(), [&file](const read_file& read) {
        file_identity identity = read.identity;
        if (!read.path.empty()) {
            struct stat named {};
            if (::stat(read.path.c_str(), &named) != 0)
                return false;
            identity = {named.st_dev, named.st_ino};
        }
        return file.st_dev == identity.device && file.st_ino == identity.inode;
    });
    return found != reads.end() ? &*found : nullptr;
}

}  // namespace

result_log_writer::result_log_writer(bool marks_failed_writes)
    : marks_failed_writes_(marks_failed_writes)
{
}

result_log_writer::~result_log_writer()
{
    if (fd_ >= 0)
        (void)::close(fd_);
}

result_log_writer::open_result result_log_writer::open(const std::string& path,
                                                       const std::vector<read_file>& reads,
                                                       uint64_t keep_bytes)
{
    // Opened without truncating, and without waiting for a FIFO's reader.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        error_number_ = errno;
        return open_result::failed;
    }
    const open_result checked = check_and_truncate(fd, reads, keep_bytes);
    if (checked != open_result::opened) {
        (void)::close(fd);
        return checked;
    }
    fd_ = fd;
    path_ = path;
    return open_result::opened;
}
result_log_writer::open_result result_log_writer::check_and_truncate(
    int fd, const std::vector<read_file>& reads, uint64_t keep_bytes)
{
    struct stat file {};
    if (fstat(fd, &file) != 0) {
        error_number_ = errno;
        return open_result::failed;
    }
    // Writing over a log or the trusted keys would destroy them.
    if (const read_file* const read = read_file_of(file, reads))
        return read->refusal;
    // Records and console text would overwrite each other; a terminal or
    // /dev/null on both sides mixes but loses nothing.
    struct stat output {};
    if (fstat(STDOUT_FILENO, &output) == 0 && output.st_dev == file.st_dev &&
        output.st_ino == file.st_ino && !S_ISCHR(file.st_mode))
        return open_result::is_the_output;
    if (S_ISREG(file.st_mode)) {
        // Held until the file is closed. A file system without locks is
        // written unlocked.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
            return open_result::locked;
        // Kept bytes are whole records: the records of a run that was
        // killed after them are written again. A file cut shorter since
        // has lost records; what is left of them is not kept, as a run
        // without records to go on from keeps none.
        const off_t kept = file.st_size >= 0 && static_cast<uint64_t>(file.st_size) >= keep_bytes
                               ? static_cast<off_t>(keep_bytes)
                               : 0;
        if (ftruncate(fd, kept) != 0 || lseek(fd, kept, SEEK_SET) != kept) {
            error_number_ = errno;
            return open_result::failed;
        }
        written_ = static_cast<uint64_t>(kept);
    }
    // A FIFO with a reader is written at the reader's pace.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error_number_ = errno;
        return open_result::failed;
    }
    return open_result::opened;
}

void result_log_writer::note_failure()
{
    if (error_number_ == 0)
        error_number_ = errno != 0 ? errno : EIO;
}

// Writes all of bytes; false on the first failure, with what did reach the
// file known.
bool result_log_writer::write_all(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written > 0) {
            written_ += static_cast<uint64_t>(written);
            file_ends_line_ = bytes[static_cast<std::size_t>(written) - 1] == '\n';
            bytes.remove_prefix(static_cast<std::size_t>(written));
        } else if (written == 0 || errno != EINTR) {
            // A record is written whole or not at all: a write a signal
            // interrupted is made again.
            if (written == 0)
                errno = EIO;
            return false;
        }
    }
    return true;
}

void result_log_writer::write_buffer()
{
    if (used_ == 0 || failed())
        return;
    const bool written = write_all({buffer_.data(), used_});
    used_ = 0;
    if (written)
        return;
    note_failure();
    if (marks_failed_writes_)
        mark_failed_write();
}

// The failed write becomes the last record. A file that is full (a size
// limit, a full disk) is cut back to the end of a whole record with room
// for it; elsewhere it follows what reached the file, on a line of its
// own.
void result_log_writer::mark_failed_write()
{
    const run_error failure{run_error_kind::write_result_log, path_, error(), 0};
    const std::string record = text::result_log_record(failure);
    struct stat file {};
    const off_t end = lseek(fd_, 0, SEEK_CUR);
    if (fstat(fd_, &file) == 0 && S_ISREG(file.st_mode) && end >= 0) {
        const off_t cut = record_end_before(end - static_cast<off_t>(record.size()));
        if (ftruncate(fd_, cut) == 0 && lseek(fd_, cut, SEEK_SET) == cut) {
            file_ends_line_ = true;
            written_ = static_cast<uint64_t>(cut);
        }
    }
    if (!file_ends_line_ && !write_all("\n"))
        return;
    (void)write_all(record);
}

// The end of the last whole record in the file at or before limit (0 for
// none), read back from the file (opened anew for reading: the writer's
// descriptor is write-only, so that a FIFO without a reader fails).
off_t result_log_writer::record_end_before(off_t limit) const
{
    std::string path = "/proc/self/fd/";
    path += std::to_string(fd_);
    const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (reader < 0)
        return 0;
    char bytes[4096];
    off_t end = 0;
    for (off_t at = limit; at > 0 && end == 0;) {
        const off_t from = std::max<off_t>(0, at - static_cast<off_t>(sizeof bytes));
        const ssize_t got = pread(reader, bytes, static_cast<std::size_t>(at - from), from);
        if (got != at - from)
            break;
        for (ssize_t i = got; i > 0 && end == 0; --i) {
            if (bytes[i - 1] == '\n')
                end = from + i;
        }
        at = from;
    }
    (void)::close(reader);
    return end;
}

void result_log_writer::append(std::string_view bytes)
{
    while (!bytes.empty() && !failed()) {
        if (used_ == buffer_.size())
            write_buffer();
        const std::size_t take = std::min(bytes.size(), buffer_.size() - used_);
        std::memcpy(buffer_.data() + used_, bytes.data(), take);
        used_ += take;
        bytes.remove_prefix(take);
    }
}

void result_log_writer::record(const line_report& line)
{
    append(line.data);
    append(text::fate_of(line.fate).record_ending);
    append("\n");
}

void result_log_writer::gap_records(log_mode mode, const std::vector<sequence_range>& missing)
{
    const bool event = mode == log_mode::event;
    for (const sequence_range& range : missing) {
        for (uint32_t number = range.first;; ++number) {
            char record[64];
            const int length =
                std::snprintf(record, sizeof record,
                              event ? text::record_event_gap : text::record_transaction_gap,
                              static_cast<int>(number));
            if (length > 0)
                append({record, static_cast<std::size_t>(length)});
            if (number == range.last)
                break;
        }
    }
}

void result_log_writer::last_record(const run_error& error)
{
    append(text::result_log_record(error));
}

bool result_log_writer::close()
{
    if (fd_ < 0)
        return !failed();
    write_buffer();
    if (::close(fd_) != 0)
        note_failure();
    fd_ = -1;
    return !failed();
}

bool result_log_writer::sync()
{
    if (fd_ < 0)
        return !failed();
    write_buffer();
    // Only a file is kept; anything else takes no sync.
    if (!failed() && fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS)
        note_failure();
    return !failed();
}

std::string result_log_writer::error() const { return std::strerror(error_number_); }
