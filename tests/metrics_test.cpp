// The metrics file: one sample per count of the run's record, labelled
// with the log (escaped as the text format asks) and the kind of error,
// and a file replaced whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "metrics.hpp"
#include "texts.hpp"

namespace {

// The samples of text: the name with its labels, and the value.
std::map<std::string, std::string> samples_of(const std::string& text)
{
    std::map<std::string, std::string> samples;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t space = line.rfind(' ');
        EXPECT_EQ(samples.count(line.substr(0, space)), 0U) << line;
        samples[line.substr(0, space)] = line.substr(space + 1);
    }
    return samples;
}

TEST(Metrics, EveryCountIsASampleOfItsOwn)
{
    run_result result;
    result.lines_checked = 100;
    uint64_t count = 1;
    for (const text::fate_texts& row : text::FATES)
        result.lines_of(row.fate) = count++;
    result.missing_numbers = 7;
    result.last_number = 4000000000U;
    const std::string log = "a \"log\"\\\nname";
    const auto samples =
        samples_of(metrics_text(log, result, {true, unix_seconds{1700000000}, 1700000005}));
    const std::string labels = "{log=\"a \\\"log\\\"\\\\\\nname\"";
    const std::string prefix = "tamberlo_orvel_verify_";
    EXPECT_EQ(samples.at(prefix + "lines_checked_total" + labels + "}"), "100");
    EXPECT_EQ(samples.at(prefix + "lines_ok_total" + labels + "}"),
              std::to_string(result.lines_of(line_fate::ok)));
    for (const text::fate_texts& row : text::FATES) {
        if (row.fate == line_fate::ok)
            continue;
        EXPECT_EQ(samples.at(prefix + "line_errors_total" + labels + ",kind=\"" + row.json_kind +
                             "\"}"),
                  std::to_string(result.lines_of(row.fate)))
            << row.json_kind;
    }
    EXPECT_EQ(samples.at(prefix + "missing_sequence_numbers" + labels + "}"), "7");
    EXPECT_EQ(samples.at(prefix + "sequence_number_max" + labels + "}"), "4000000000");
    EXPECT_EQ(samples.at(prefix + "last_line_read_timestamp_seconds" + labels + "}"), "1700000000");
    EXPECT_EQ(samples.at(prefix + "last_update_timestamp_seconds" + labels + "}"), "1700000005");
    EXPECT_EQ(samples.at(prefix + "following" + labels + "}"), "1");
    EXPECT_EQ(samples.size(), 6U + std::size(text::FATES));

    // Before the first line: zeros, not following.
    const auto idle = samples_of(metrics_text("l", run_result{}, {false, std::nullopt, 5}));
    EXPECT_EQ(idle.at(prefix + "last_line_read_timestamp_seconds{log=\"l\"}"), "0");
    EXPECT_EQ(idle.at(prefix + "sequence_number_max{log=\"l\"}"), "0");
    EXPECT_EQ(idle.at(prefix + "following{log=\"l\"}"), "0");
}

TEST(Metrics, TheFileIsReplacedWhole)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("metrics-test-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const auto write = [](const fs::path& path, const char* text) { std::ofstream(path) << text; };
    const auto read = [](const fs::path& path) {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    };
    const std::string path = dir / "m.prom";
    std::string problem;
    write(path, "old and longer\n");
    // Readable by a collector that runs as another user, whatever the umask.
    const mode_t umask_before = umask(077);
    ASSERT_TRUE(write_metrics(path, "new\n", problem)) << problem;
    umask(umask_before);
    EXPECT_EQ(read(path), "new\n");
    EXPECT_EQ(fs::status(path).permissions(), static_cast<fs::perms>(0644));
    // A temporary file left by a run that was killed is replaced.
    write(path + ".tmp", "left\n");
    ASSERT_TRUE(write_metrics(path, "newer\n", problem)) << problem;
    EXPECT_EQ(read(path), "newer\n");
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    EXPECT_FALSE(write_metrics(dir / "no/such/m.prom", "x\n", problem));
    EXPECT_EQ(problem, "No such file or directory");
    fs::remove_all(dir);
}

}  // namespace
