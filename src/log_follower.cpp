#include "log_follower.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <thread>
#include <utility>

#include "log_digest.hpp"
#include "replaced_file.hpp"
#include "rotated_logs.hpp"

namespace {

// A writer that goes on writing to a log it has just rotated away has its
// lines read for this long after the last of them.
constexpr std::chrono::milliseconds GRACE_AFTER_MOVE{1000};
// The bytes before a file's end compared when it grows.
constexpr std::size_t TAIL_BYTES = 4096;
// How often a file system without a watch is looked at: the wait for a
// line's write to be seen.
constexpr std::chrono::milliseconds POLL_WITHOUT_WATCH{200};

// Every change of a name in the directory and every write to a file in it:
// what a writer and a rotating writer do.
constexpr uint32_t WATCHED = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                             IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

// The size bytes of fd before end; empty when they cannot be read.
std::string bytes_before(int fd, uint64_t end, std::size_t size)
{
    std::string bytes(size, '\0');
    const auto from = static_cast<off_t>(end - size);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, bytes.data() + got, size - got, from + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        got += static_cast<std::size_t>(n);
    }
    return bytes;
}

}  // namespace

log_follower::log_follower(std::string path, std::chrono::milliseconds interval,
                           std::function<bool()> tick)
    : path_(std::move(path)), interval_(interval), tick_(std::move(tick))
{
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0 && inotify_add_watch(inotify_, directory_of(path_).c_str(), WATCHED) < 0) {
        (void)close(inotify_);
        inotify_ = -1;
    }
}

log_follower::~log_follower()
{
    if (inotify_ >= 0)
        (void)close(inotify_);
}

void log_follower::wait()
{
    pollfd changes{inotify_, POLLIN, 0};
    // Without a watch (a file system that has none, or none left), the
    // same call is a sleep; a signal ends it at once.
    const auto timeout = inotify_ >= 0 ? interval_ : std::min(interval_, POLL_WITHOUT_WATCH);
    (void)poll(inotify_ >= 0 ? &changes : nullptr, inotify_ >= 0 ? 1 : 0,
               static_cast<int>(timeout.count()));
    if (inotify_ < 0)
        return;
    // The events say only that something changed: what, the files tell.
    char events[4096];
    while (read(inotify_, events, sizeof events) > 0) {
    }
}

int log_follower::open_file(file_identity& identity)
{
    for (;;) {
        const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat file {};
        if (fd >= 0 && fstat(fd, &file) == 0) {
            identity = {file.st_dev, file.st_ino};
            return fd;
        }
        const int error_number = errno;
        if (fd >= 0)
            (void)close(fd);
        if (error_number != ENOENT) {
            errno = error_number;
            return -1;
        }
        if (tick_())
            return -1;
        wait();
    }
}

// Whether the bytes before the end read last are still what they were.
bool log_follower::tail_unchanged(int fd)
{
    return tail_.empty() || bytes_before(fd, tail_end_, tail_.size()) == tail_;
}

log_reader::follow_step log_follower::at_end(int fd, uint64_t bytes_read,
                                             std::string_view last_read)
{
    if (fd != tail_fd_ || bytes_read != tail_end_) {
        tail_fd_ = fd;
        tail_end_ = bytes_read;
        // The bytes as they were read; read again only where the reader no
        // longer holds them (a file could be cut back in between).
        if (last_read.empty()) {
            tail_ = bytes_before(fd, bytes_read, std::min<uint64_t>(bytes_read, TAIL_BYTES));
        } else {
            tail_ = last_read.substr(last_read.size() - std::min(last_read.size(), TAIL_BYTES));
        }
    }
    using clock = std::chrono::steady_clock;
    std::optional<clock::time_point> moved_at;
    for (;;) {
        // What was written before a rotation is read before the file is
        // left: its size first, its name after.
        struct stat file {};
        if (fstat(fd, &file) == 0) {
            const auto size = static_cast<uint64_t>(file.st_size);
            // Cut back and written again to the same length or beyond:
            // the bytes read last are not there any more.
            if (size < bytes_read || !tail_unchanged(fd)) {
                why_ = ending::truncated;
                return log_reader::follow_step::stopped;
            }
            if (size > bytes_read)
                return log_reader::follow_step::more;
        }
        if (names_file(path_, {file.st_dev, file.st_ino})) {
            moved_at.reset();
        } else if (!moved_at) {
            moved_at = clock::now();
        }
        // A file moved away is left once its writer had time to move on;
        // one deleted at once, as no one will ever read what is written
        // to it.
        if (moved_at && (file.st_nlink == 0 || clock::now() - *moved_at >= GRACE_AFTER_MOVE)) {
            why_ = ending::moved;
            return log_reader::follow_step::finished;
        }
        if (tick_()) {
            why_ = ending::stopped;
            return log_reader::follow_step::stopped;
        }
        wait();
    }
}

rotated_files::~rotated_files() { close_all(); }

void rotated_files::close_all()
{
    for (const file& each : files_) {
        if (each.fd >= 0)
            (void)close(each.fd);
    }
    files_.clear();
}

int rotated_files::take(std::size_t index) { return std::exchange(files_[index].fd, -1); }

bool rotated_files::open(const std::string& live_path)
{
    for (int attempt = 1; attempt <= SET_LISTINGS; ++attempt) {
        close_all();
        bool steady = true;
        for (const std::string& path : rotated_set(live_path)) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            struct stat opened {};
            if (fd >= 0 && fstat(fd, &opened) == 0) {
                files_.push_back({path, fd, {opened.st_dev, opened.st_ino}});
            } else {
                if (fd >= 0)
                    (void)close(fd);
                steady = false;
            }
        }
        // Every name still names the file opened under it: no rotation
        // came between the listing and the last open.
        for (const file& each : files_)
            steady = steady && names_file(each.path, each.identity);
        if (steady && rotated_set(live_path).size() == files_.size())
            return true;
        std::this_thread::sleep_for(SET_LISTING_PAUSE * attempt);
    }
    close_all();
    return false;
}

std::optional<std::size_t> rotated_files::newest_read(const std::optional<file_identity>& last,
                                                      const std::vector<text_head>& read) const
{
    const bool any_text =
        std::any_of(read.begin(), read.end(), [](const text_head& each) { return each.bytes > 0; });
    for (std::size_t i = files_.size(); i-- > 0;) {
        if (last && files_[i].identity == *last)
            return i;
        if (!any_text)
            continue;
        log_reader reader(reader_settings{}, nullptr);
        reader.start(files_[i].fd);
        log_digest head;
        const log_reader::status status = reader.pass(LEAF_BYTES, &head);
        // Whoever reads it next reads it from its start.
        (void)lseek(files_[i].fd, 0, SEEK_SET);
        if (status != log_reader::status::piece && status != log_reader::status::end)
            continue;
        const text_head seen = text_head_of(&head);
        const bool same_text =
            seen.bytes > 0 && std::any_of(read.begin(), read.end(), [&seen](const text_head& each) {
                return each.bytes == seen.bytes && each.digest == seen.digest;
            });
        if (same_text)
            return i;
    }
    return std::nullopt;
}

rotated_files::text_head text_head_of(const log_digest* digest)
{
    rotated_files::text_head head;
    if (digest != nullptr && digest->size() > 0) {
        head.bytes = std::min<uint64_t>(digest->size(), LEAF_BYTES);
        head.digest = digest->head();
    }
    return head;
}

bool begins_with_head_of(int fd, const log_digest& digest)
{
    const uint64_t head_bytes = std::min<uint64_t>(digest.size(), LEAF_BYTES);
    log_reader reader(reader_settings{}, nullptr);
    reader.start(fd);
    log_digest head;
    return reader.pass(head_bytes, &head) == log_reader::status::piece &&
           head.size() == head_bytes && head.head() == digest.head();
}
