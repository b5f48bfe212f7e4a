#include "result_log.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "texts.hpp"

namespace {

// Records are written in large blocks.
constexpr std::size_t RESULT_LOG_BUFFER = std::size_t{1} << 16;

using read_file = result_log_writer::read_file;

// The file of reads that file is, or nullptr.
const read_file* read_file_of(const struct stat& file, const std::vector<read_file>& reads)
{
    const auto found = std::find_if(reads.begin(), reads.end(), [&file](const read_file& read) {
        return file.st_dev == read.identity.device && file.st_ino == read.identity.inode;
    });
    return found != reads.end() ? &*found : nullptr;
}

}  // namespace

result_log_writer::~result_log_writer()
{
    if (file_ != nullptr)
        (void)std::fclose(file_);
}

result_log_writer::open_result result_log_writer::open(const std::string& path,
                                                       const std::vector<read_file>& reads)
{
    // Opened without truncating, and without waiting for a FIFO's reader.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        error_number_ = errno;
        return open_result::failed;
    }
    const open_result checked = check_and_truncate(fd, reads);
    if (checked != open_result::opened) {
        (void)::close(fd);
        return checked;
    }
    file_ = fdopen(fd, "w");
    if (file_ == nullptr) {
        error_number_ = errno;
        (void)::close(fd);
        return open_result::failed;
    }
    // Without the larger buffer the records are merely written in smaller
    // pieces.
    (void)std::setvbuf(file_, nullptr, _IOFBF, RESULT_LOG_BUFFER);
    return open_result::opened;
}

result_log_writer::open_result result_log_writer::check_and_truncate(
    int fd, const std::vector<read_file>& reads)
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
        if (ftruncate(fd, 0) != 0) {
            error_number_ = errno;
            return open_result::failed;
        }
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

void result_log_writer::record(const line_report& line)
{
    if (std::fputs(line.data, file_) < 0 ||
        std::fputs(text::fate_of(line.fate).record_ending, file_) < 0 ||
        std::fputc('\n', file_) == EOF)
        note_failure();
}

void result_log_writer::gap_records(log_mode mode, const std::vector<sequence_range>& missing)
{
    const bool event = mode == log_mode::event;
    for (const sequence_range& range : missing) {
        for (uint32_t number = range.first;; ++number) {
            if (std::fprintf(file_, event ? text::record_event_gap : text::record_transaction_gap,
                             static_cast<int>(number)) < 0)
                note_failure();
            if (number == range.last)
                break;
        }
    }
}

void result_log_writer::interrupted_record(int signal_number)
{
    if (std::fprintf(file_, text::record_interrupted, signal_number) < 0)
        note_failure();
}

bool result_log_writer::close()
{
    if (file_ == nullptr)
        return !failed();
    errno = 0;
    if (std::ferror(file_) != 0)
        note_failure();
    if (std::fclose(file_) != 0)
        note_failure();
    file_ = nullptr;
    return !failed();
}

std::string result_log_writer::error() const { return std::strerror(error_number_); }
