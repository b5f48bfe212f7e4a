#include "result_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "texts.hpp"

namespace {

// Records are written in large blocks.
constexpr std::size_t RESULT_LOG_BUFFER = std::size_t{1} << 16;

bool is_one_of(const struct stat& file, const std::vector<file_identity>& logs)
{
    return std::any_of(logs.begin(), logs.end(), [&file](const file_identity& log) {
        return file.st_dev == log.device && file.st_ino == log.inode;
    });
}

}  // namespace

result_log_writer::~result_log_writer()
{
    if (file_ != nullptr)
        (void)std::fclose(file_);
}

result_log_writer::open_result result_log_writer::open(const std::string& path,
                                                       const std::vector<file_identity>& logs)
{
    // Opening a log for writing would destroy it: look before touching.
    struct stat existing {};
    if (stat(path.c_str(), &existing) == 0 && is_one_of(existing, logs))
        return open_result::is_a_log;
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) {
        error_number_ = errno != 0 ? errno : EIO;
        return open_result::failed;
    }
    // Without the larger buffer the records are merely written in smaller
    // pieces.
    (void)std::setvbuf(file_, nullptr, _IOFBF, RESULT_LOG_BUFFER);
    return open_result::opened;
}

void result_log_writer::note_failure()
{
    if (error_number_ == 0)
        error_number_ = errno != 0 ? errno : EIO;
}

void result_log_writer::record(const char* data_field, const char* ending)
{
    if (std::fputs(data_field, file_) < 0 || std::fputs(ending, file_) < 0)
        note_failure();
}

void result_log_writer::key_error_record(const char* data_field)
{
    if (std::fprintf(file_, text::record_key_error, data_field) < 0)
        note_failure();
}

void result_log_writer::gap_record(log_mode mode, uint32_t number)
{
    const bool event = mode == log_mode::event;
    if (std::fprintf(file_, event ? text::record_event_gap : text::record_transaction_gap,
                     static_cast<int>(number)) < 0)
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
