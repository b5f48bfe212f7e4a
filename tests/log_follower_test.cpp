// A followed file's end, in process: grown, cut back, rewritten, deleted,
// moved; and where the run stands among the rotated files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "log_digest.hpp"
#include "log_follower.hpp"
#include "test_support.hpp"

namespace {

using step = log_reader::follow_step;
using ending = log_follower::ending;

file_identity identity_of(int fd)
{
    struct stat file {};
    EXPECT_EQ(fstat(fd, &file), 0);
    return {file.st_dev, file.st_ino};
}

log_digest digest_of(const std::string& text)
{
    log_digest digest;
    digest.add(reinterpret_cast<const unsigned char*>(text.data()), text.size(), 1);
    return digest;
}

TEST(LogFollower, TheEndOfAFollowedFileTellsWhatBecameOfIt)
{
    const scratch_dir dir;
    const std::string path = dir.file("tx.log");
    const std::string read = "a,b,c\nd,e,f\n";
    const struct {
        const char* name;
        void (*change)(const std::string& path);
        step expected;
        ending why;
    } cases[] = {
        {"unchanged, the run stops", [](const std::string&) {}, step::stopped, ending::stopped},
        {"grown",
         [](const std::string& p) {
             std::FILE* f = std::fopen(p.c_str(), "a");
             std::fputs("g", f);  // one byte is growth
             std::fclose(f);
         },
         step::more, ending::stopped},
        {"cut back", [](const std::string& p) { (void)truncate(p.c_str(), 3); }, step::stopped,
         ending::truncated},
        {"rewritten to the same length",
         [](const std::string& p) {
             std::FILE* f = std::fopen(p.c_str(), "r+");
             std::fputs("x,y,z\nd,e,f\n", f);
             std::fclose(f);
         },
         step::stopped, ending::truncated},
        {"deleted", [](const std::string& p) { (void)unlink(p.c_str()); }, step::finished,
         ending::moved},
        {"moved, once its writer had time",
         [](const std::string& p) { (void)rename(p.c_str(), (p + ".1").c_str()); }, step::finished,
         ending::moved},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        dir.write("tx.log", read);
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        each.change(path);
        // The run stops at its second look unless the file was moved (its
        // grace is a second).
        const bool moved = std::string(each.name).starts_with("moved");
        int looks = 0;
        log_follower follower(path, std::chrono::milliseconds(20),
                              [&] { return ++looks >= (moved ? 1000 : 2); });
        EXPECT_EQ(follower.at_end(fd, read.size(), read), each.expected);
        if (each.expected != step::more) {
            EXPECT_EQ(follower.why_ended(), each.why);
        }
        close(fd);
    }
}

TEST(LogFollower, TheFilesAfterTheNewestReadAreTheOnesNotRead)
{
    const scratch_dir dir;
    const std::string older = "a,b,1\n", read = "a,b,2\n";
    dir.write("tx.log.2", older);
    dir.write("tx.log.1", read);
    dir.write("tx.log", "a,b,3\n");
    const int fd = open(dir.file("tx.log.1").c_str(), O_RDONLY | O_CLOEXEC);
    const file_identity last = identity_of(fd);
    const std::vector<rotated_files::text_head> texts = {text_head_of(nullptr)};
    rotated_files set;
    ASSERT_TRUE(set.open(dir.file("tx.log")));
    ASSERT_EQ(set.files().size(), 3U);
    EXPECT_EQ(set.newest_read(last, {}), 1U);
    // Compressed since: found by its text, not by the empty one's.
    const log_digest text = digest_of(read);
    ASSERT_EQ(std::system(("gzip -n '" + dir.file("tx.log.1") + "'").c_str()), 0);
    ASSERT_TRUE(set.open(dir.file("tx.log")));
    EXPECT_EQ(set.newest_read(last, {text_head_of(&text)}), 1U);
    EXPECT_EQ(set.newest_read(last, texts), std::nullopt);
    EXPECT_EQ(set.newest_read(std::nullopt, {}), std::nullopt);
    // An empty text tells nothing: an empty file is not taken for it.
    dir.write("tx.log", "");
    ASSERT_TRUE(set.open(dir.file("tx.log")));
    const log_digest other = digest_of("a,b,9\n");
    EXPECT_EQ(set.newest_read(std::nullopt, {text_head_of(nullptr), text_head_of(&other)}),
              std::nullopt);
    close(fd);
}

}  // namespace
