// Matching the logs given against a checkpoint's logs, in process: where
// the logs given begin, what each of them is to the run, and which pieces
// of a changed log differ.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "history_check.hpp"
#include "test_support.hpp"

namespace {

using role = log_plan::role;

// A log of the checkpoint as a run that verified text would keep it.
history_log verified(const std::string& path, const std::string& text, bool retired = false)
{
    log_digest digest;
    uint64_t line = 0;
    for (std::size_t at = 0; at < text.size(); ++line) {
        const std::size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
        digest.add(reinterpret_cast<const unsigned char*>(text.data() + at), end - at, line + 1);
        at = end;
    }
    history_log log;
    log.path = path;
    log.bytes = text.size();
    log.lines = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
    log.nodes = digest.nodes(0);
    log.tree = tree_hash(log.nodes);
    log.head = digest.head();
    log.retired = retired;
    if (retired)
        log.nodes.clear();
    return log;
}

std::string lines(int first, int last)
{
    std::string text;
    for (int n = first; n <= last; ++n)
        text += key_error_line(n);
    return text;
}

// The logs given, as files, matched against checkpoint.
history_match matched(const history& checkpoint, const std::vector<std::string>& texts)
{
    const scratch_dir dir;
    std::vector<int> fds;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        paths.push_back("given" + std::to_string(i));
        dir.write(paths.back(), texts[i]);
        fds.push_back(open(dir.file(paths.back()).c_str(), O_RDONLY | O_CLOEXEC));
    }
    history_match match = match_history(checkpoint, fds, paths, [] { return false; });
    for (const int fd : fds)
        close(fd);
    return match;
}

TEST(HistoryCheck, TheLogsGivenArePlacedByContent)
{
    const std::string a = lines(1, 10), b = lines(11, 20), c = lines(21, 30);
    const std::string d = lines(41, 50), e = lines(51, 60);
    history three;
    three.logs = {verified("a", a), verified("b", b), verified("c", c)};
    history retired_first;
    retired_first.logs = {verified("a", a, true), verified("b", b), verified("c", c)};
    history empty_last;
    empty_last.logs = {verified("a", a), verified("empty", "")};
    // A follow run that passed an empty rotated file for the empty log.
    history two_empty;
    two_empty.logs = {verified("a", a), verified("rotated", ""), verified("empty", "")};
    const struct {
        const char* name;
        const history& checkpoint;
        std::vector<std::string> given;
        std::size_t retired;
        std::vector<log_plan> plan;
    } cases[] = {
        {"the same logs",
         three,
         {a, b, c},
         0,
         {{role::resumed, 0}, {role::resumed, 1}, {role::grown, 2}}},
        {"one rotation, the last grown",
         three,
         {b, c + lines(31, 32), d},
         1,
         {{role::resumed, 1}, {role::grown, 2}, {role::fresh, 0}}},
        {"three rotations",
         three,
         {c, d, e},
         2,
         {{role::grown, 2}, {role::fresh, 0}, {role::fresh, 0}}},
        {"a retired log given again",
         retired_first,
         {a, b, c},
         0,
         {{role::resumed, 0}, {role::resumed, 1}, {role::grown, 2}}},
        {"an empty last log, grown and rotated",
         empty_last,
         {d, e},
         1,
         {{role::grown, 1}, {role::fresh, 0}}},
        {"two empty last logs, all deleted",
         two_empty,
         {d, e},
         2,
         {{role::grown, 2}, {role::fresh, 0}}},
        // A log copied and emptied while empty, between two logs verified.
        {"an empty log between verified ones",
         three,
         {a, "", b, c},
         0,
         {{role::resumed, 0}, {role::fresh, 0}, {role::resumed, 1}, {role::grown, 2}}},
        {"an empty log before the first verified one",
         three,
         {"", b, c},
         1,
         {{role::fresh, 0}, {role::resumed, 1}, {role::grown, 2}}},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        const history_match match = matched(each.checkpoint, each.given);
        ASSERT_FALSE(match.error) << match.error->message;
        EXPECT_EQ(match.plan.retired, each.retired);
        ASSERT_EQ(match.plan.logs.size(), each.plan.size());
        for (std::size_t i = 0; i < each.plan.size(); ++i) {
            EXPECT_EQ(match.plan.logs[i].kind, each.plan[i].kind) << i;
            if (each.plan[i].kind != role::fresh) {
                EXPECT_EQ(match.plan.logs[i].history_index, each.plan[i].history_index) << i;
            }
        }
    }
}

TEST(HistoryCheck, AChangedLogKeepsThePiecesThatDiffer)
{
    // Three pieces: the first and the third changed.
    std::string big;
    for (int n = 1; big.size() < 2 * LEAF_BYTES + 5000; ++n)
        big += key_error_line(n);
    history checkpoint;
    checkpoint.logs = {verified("big", big), verified("last", lines(1, 3))};
    std::string changed = big;
    changed[10] = 'X';
    changed[changed.size() - 10] = 'X';
    const history_match match = matched(checkpoint, {changed, lines(1, 3)});
    ASSERT_TRUE(match.error);
    EXPECT_EQ(match.error->kind, run_error_kind::history_changed);
    EXPECT_EQ(match.error->path, "given0");
    const uint64_t second = checkpoint.logs[0].nodes[1].first_line;
    EXPECT_EQ(match.error->message, "lines 1 to " + std::to_string(second) +
                                        " differ from those verified (verified as big)");
    ASSERT_TRUE(match.changed);
    EXPECT_EQ(match.changed->given, 0U);
    ASSERT_EQ(match.changed->lines.size(), 2U);
    EXPECT_EQ(match.changed->lines[1].second, checkpoint.logs[0].lines);
    // A retired log given again is compared whole: all its lines.
    checkpoint.logs[0] = verified("big", big, true);
    const history_match retired = matched(checkpoint, {changed, lines(1, 3)});
    ASSERT_TRUE(retired.changed);
    EXPECT_EQ(retired.changed->lines,
              (std::vector<std::pair<uint64_t, uint64_t>>{{1, checkpoint.logs[0].lines}}));
}

TEST(HistoryCheck, ALogEmptiedIsNamedAsMissing)
{
    const std::string a = lines(1, 10), b = lines(11, 20), c = lines(21, 30);
    history three;
    three.logs = {verified("a", a), verified("b", b), verified("c", c)};
    const history_match middle = matched(three, {a, "", c});
    ASSERT_TRUE(middle.error);
    EXPECT_EQ(middle.error->kind, run_error_kind::history_changed);
    EXPECT_EQ(middle.error->path, "given2");
    EXPECT_EQ(middle.error->message, "the checkpoint's log b is missing before it");
    const history_match last = matched(three, {a, b, ""});
    ASSERT_TRUE(last.error);
    EXPECT_EQ(last.error->message, "the checkpoint's last log is not among the logs given");
}

}  // namespace
