// The tables of line fates and run errors, row by row, in every form: what
// each form must show of a row, so that a new row is tested with no new
// test. The exact texts are pinned in report_test.
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "console.hpp"
#include "report.hpp"
#include "texts.hpp"

namespace {

using json = nlohmann::ordered_json;

run_options options_of(report_style style)
{
    run_options options;
    options.logs = {"a.log", "b.log"};
    options.style = style;
    return options;
}

// What a report of style prints for lines and the run's end.
std::string rendered(const run_options& options, const std::vector<line_report>& lines,
                     const run_result& result)
{
    const int fd = memfd_create("console", MFD_CLOEXEC);
    {
        console_writer console(fd);
        const std::unique_ptr<report> out = make_report(options, console);
        out->start();
        for (const line_report& line : lines)
            out->line(line);
        out->end(result);
    }
    std::string bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
    (void)!pread(fd, bytes.data(), bytes.size(), 0);
    close(fd);
    return bytes;
}

// Every row of the table of fates, in every form, by what each form must
// show of it: a new fate is tested here with its row.
TEST(Reports, EveryFateOfTheTableInEveryForm)
{
    key_identity key;
    key.sha256.fill(0xcd);
    for (const text::fate_texts& row : text::FATES) {
        SCOPED_TRACE(row.json_kind);
        line_report line;
        line.where = {0, 12};
        line.counter = 5;
        line.data = "D";
        line.signature = "S";
        line.fate = row.fate;
        line.key_code = row.fate == line_fate::key_error ? -0x3d62 : 0;
        line.key = row.fate == line_fate::key_error ? nullptr : &key;
        line.number = 7;
        run_result result;
        result.lines_checked = row.fate == line_fate::key_error ? 0 : 1;
        result.lines_of(row.fate) = 1;
        if (row.fate != line_fate::ok)
            result.problems.push_back({line.where, row.fate, line.key_code, {}, 7, "", 0, 0, {}});
        result.status = row.fate == line_fate::ok ? run_status::ok : run_status::counted_errors;

        const std::string console = rendered(options_of(report_style::console), {line}, result);
        const std::string fields = std::string(text::banner) + "\n[D][S]";
        EXPECT_EQ(console.starts_with(fields), row.console_shows_fields);
        EXPECT_EQ(row.console != nullptr, console.find("at line 5") != std::string::npos);
        const std::string quiet = rendered(options_of(report_style::quiet), {line}, result);
        if (row.fate == line_fate::ok) {
            EXPECT_EQ(quiet, "");
        } else {
            EXPECT_TRUE(quiet.starts_with("a.log:12: ")) << quiet;
            EXPECT_NE(quiet.find("\na.log, b.log: 1 lines checked") == std::string::npos,
                      quiet.find("\na.log, b.log: 0 lines checked") == std::string::npos);
        }
        const json document = json::parse(rendered(options_of(report_style::json), {line}, result));
        if (row.fate == line_fate::ok) {
            EXPECT_EQ(document["lines"]["ok"], 1);
            EXPECT_TRUE(document["problems"].empty());
        } else {
            EXPECT_EQ(document["errors"][row.json_kind], 1);
            EXPECT_EQ(document["problems"][0]["kind"], row.json_kind);
        }
        uint64_t sum = 0;
        for (const auto& [kind, count] : document["errors"].items())
            sum += count.get<uint64_t>();
        EXPECT_EQ(sum, result.counted_errors());
    }
}

// Every row of the table of run errors, in every form, by what each form
// must show of it.
TEST(Reports, EveryRunErrorOfTheTableInEveryForm)
{
    for (const text::error_texts& row : text::ERRORS) {
        SCOPED_TRACE(row.json_kind);
        for (const uint64_t line : {uint64_t{0}, uint64_t{7}}) {
            const run_error error = text::run_error_of(row.kind, "p.log", "why", line);
            const std::string words = row.message != nullptr ? row.message : "why";
            EXPECT_EQ(error.message, words);
            run_result result;
            result.error = error;
            result.status = run_status::file_error;
            const std::string console = rendered(options_of(report_style::console), {}, result);
            EXPECT_TRUE(console.starts_with(std::string(text::banner) + "\n  ! ")) << console;
            EXPECT_TRUE(console.ends_with("\n\n"));
            EXPECT_NE(console.find("p.log"), std::string::npos);
            const std::vector<std::string> quiet = quiet_error_texts(error, false);
            ASSERT_EQ(quiet.size(), 1U);
            const bool named = line != 0 && row.quiet_at_line != nullptr;
            EXPECT_TRUE(quiet[0].starts_with(named ? "p.log:7: " : "p.log: ")) << quiet[0];
            EXPECT_EQ(rendered(options_of(report_style::quiet), {}, result), "");
            const json document = json::parse(rendered(options_of(report_style::json), {}, result));
            EXPECT_EQ(document["error"]["kind"], row.json_kind);
            EXPECT_EQ(document["error"]["message"], words);
            const std::string record = text::result_log_record(error);
            EXPECT_EQ(record.empty(), row.record == nullptr);
            if (row.record != nullptr) {
                EXPECT_TRUE(record.ends_with(",INTERRUPTED\n") || record.ends_with(",INCOMPLETE\n"))
                    << record;
            }
        }
    }
}

}  // namespace
