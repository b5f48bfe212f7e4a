// Following a log as it is written (--follow): waits at its end for more,
// without using the processor (inotify on its directory, or a slow poll
// where there is none), and tells when the file has ended for good: moved
// or deleted (a new file takes its name, or will), or cut back (copied and
// truncated in place).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "file_identity.hpp"
#include "log_reader.hpp"
#include "signature_check_digest.hpp"

class log_digest;

class log_follower {
public:
    // tick is called at least every interval while it waits (more often
    // where the directory cannot be watched), and at once when the
    // directory changes; it returns true when the run is to stop.
    log_follower(std::string path, std::chrono::milliseconds interval, std::function<bool()> tick);
    ~log_follower();
    log_follower(const log_follower&) = delete;
    log_follower& operator=(const log_follower&) = delete;

    // The file of path, opened for reading (the caller closes it), waiting
    // for one to be there; -1 when the run stops first or it cannot be
    // opened (errno tells).
    int open_file(file_identity& identity);

    // How a followed file ended.
    enum class ending {
        stopped,    // the run stops: a last line without its end waits
        moved,      // path names another file now, or none: this one is done
        truncated,  // cut back below what was read, or rewritten: copied away
    };
    // The reader's hook for the file open on fd: more once the file has
    // grown; finished once it was moved or deleted and has not grown for
    // a grace period (its writer may finish a line first); stopped when
    // the run stops or the file was cut back (what was not read of it is
    // in its copy, if anywhere).
    log_reader::follow_step at_end(int fd, uint64_t bytes_read, std::string_view last_read);
    ending why_ended() const { return why_; }

    // Whether the directory can be watched (else it is polled every
    // interval).
    bool watches() const { return inotify_ >= 0; }

private:
    void wait();
    bool tail_unchanged(int fd);

    const std::string path_;
    const std::chrono::milliseconds interval_;
    const std::function<bool()> tick_;
    int inotify_ = -1;
    ending why_ = ending::stopped;
    // The last bytes read before the file's end, as they were then: a file
    // that grows with other bytes there was cut back and written anew.
    std::string tail_;
    uint64_t tail_end_ = 0;
    int tail_fd_ = -1;
};

// How often the files of a set of rotated logs are listed and opened while
// a rotation under way renames them, and the pause before the next try
// (longer each time).
constexpr int SET_LISTINGS = 20;
constexpr std::chrono::milliseconds SET_LISTING_PAUSE{10};

// The files of a set of rotated logs (rotated_set) as they were named at
// one moment, each open, oldest first: a rotation while they are opened
// is waited out, so that no name stands for another file than the one
// open under it.
class rotated_files {
public:
    struct file {
        std::string path;
        int fd = -1;
        file_identity identity;
    };

    rotated_files() = default;
    ~rotated_files();
    rotated_files(const rotated_files&) = delete;
    rotated_files& operator=(const rotated_files&) = delete;

    // The set of live_path; false when no moment without a rotation was
    // found.
    bool open(const std::string& live_path);
    const std::vector<file>& files() const { return files_; }
    // The descriptor of file index, which the caller closes from now on.
    int take(std::size_t index);

    // The head of a text the run has read: how many bytes (up to a leaf;
    // none for an empty text) and their digest.
    struct text_head {
        uint64_t bytes = 0;
        sha256_digest digest{};
    };
    // Where the newest file the run has read stands in the set: the file
    // last read, found by its identity (which no other file can have
    // while the run holds it open), or a file that holds the text of one
    // read (renamed, or compressed since). Files read before are not
    // found by identity: a file deleted since may have left its identity
    // to a new one. An empty text tells nothing (any empty file is like
    // it); a file after the one found is one not read yet.
    std::optional<std::size_t> newest_read(const std::optional<file_identity>& last,
                                           const std::vector<text_head>& read) const;

private:
    void close_all();
    std::vector<file> files_;
};

// The head of the text digest holds (null: the text is not known).
rotated_files::text_head text_head_of(const log_digest* digest);

// Whether the text of the log open on fd (from its start; fd is read on)
// begins with the first bytes that digest covers (its head).
bool begins_with_head_of(int fd, const log_digest& digest);
