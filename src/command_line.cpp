#include "command_line.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "console.hpp"
#include "diagnostics.hpp"
#include "run.hpp"
#include "sequence_check.hpp"
#include "texts.hpp"

namespace {

constexpr std::string_view EVENT_LOG_SWITCH = "-evl";
constexpr std::string_view END_OF_OPTIONS = "--";
// More workers than this are a mistake, not a machine.
constexpr uint32_t MAX_JOBS = 1024;
// A data field of more items than this is no log line.
constexpr uint32_t MAX_TIME_FIELD = 1000;
// A day is tolerance enough for any clock, and the longest wait for a gap
// or between saves that is still watching.
constexpr uint32_t MAX_SECONDS = 86400;

enum class option_id {
    trusted_keys,
    quiet,
    json,
    result_log,
    jobs,
    event,
    strict,
    expect_first,
    expect_last,
    checkpoint,
    rotated,
    time_field,
    time_tolerance,
    follow,
    gap_wait,
    checkpoint_every,
    metrics,
    help,
    version,
    progress,
    no_progress,
};

struct option_spec {
    std::string_view name;
    option_id id;
    bool takes_value;
};

constexpr option_spec OPTIONS[] = {
    {"trusted-keys", option_id::trusted_keys, true},
    {"quiet", option_id::quiet, false},
    {"json", option_id::json, false},
    {"result-log", option_id::result_log, true},
    {"jobs", option_id::jobs, true},
    {"event", option_id::event, false},
    {"strict", option_id::strict, false},
    {"expect-first", option_id::expect_first, true},
    {"expect-last", option_id::expect_last, true},
    {"checkpoint", option_id::checkpoint, true},
    {"rotated", option_id::rotated, true},
    {"time-field", option_id::time_field, true},
    {"time-tolerance", option_id::time_tolerance, true},
    {"follow", option_id::follow, false},
    {"gap-wait", option_id::gap_wait, true},
    {"checkpoint-every", option_id::checkpoint_every, true},
    {"metrics", option_id::metrics, true},
    {"help", option_id::help, false},
    {"version", option_id::version, false},
    {"progress", option_id::progress, false},
    {"no-progress", option_id::no_progress, false},
};

bool is_option_like(const char* arg) { return std::strncmp(arg, "--", 2) == 0; }

// The command line's plain form: a log, and "-evl" after it.
command_line parse_plain(int argc, char** argv, command_line line)
{
    const int count = argc - 1;
    if (count != 1 && count != 2) {
        line.what = command_line::action::usage_error;
        line.usage_status = run_status::argument_count;
        return line;
    }
    if (count == 2) {
        if (argv[2] != EVENT_LOG_SWITCH) {
            line.what = command_line::action::usage_error;
            line.usage_status = run_status::bad_argument;
            return line;
        }
        line.options.mode = log_mode::event;
    }
    line.options.logs.emplace_back(argv[1]);
    return line;
}

// A decimal number from low to high, digits only.
bool parse_number(std::string_view value, uint32_t low, uint32_t high, uint32_t& number)
{
    if (value.empty() || value.size() > 9)
        return false;
    uint32_t parsed = 0;
    for (const char c : value) {
        if (c < '0' || c > '9')
            return false;
        parsed = parsed * 10 + static_cast<uint32_t>(c - '0');
    }
    if (parsed < low || parsed > high)
        return false;
    number = parsed;
    return true;
}

std::string wants_number(std::string_view option, uint32_t low, uint32_t high,
                         std::string_view value)
{
    return "option --" + std::string(option) + " wants a number from " + std::to_string(low) +
           " to " + std::to_string(high) + ", not '" + std::string(value) + "'";
}

// An expected sequence number: one the tracker can record.
bool take_expected(std::string_view option, std::string_view value,
                   std::optional<uint32_t>& expected, std::string& problem)
{
    uint32_t number = 0;
    if (!parse_number(value, 1, SEQ_LIMIT - 1, number)) {
        problem = wants_number(option, 1, SEQ_LIMIT - 1, value);
        return false;
    }
    expected = number;
    return true;
}

// A number of seconds, at most a day.
bool take_seconds(std::string_view option, std::string_view value, uint32_t low, uint32_t& seconds,
                  std::string& problem)
{
    if (!parse_number(value, low, MAX_SECONDS, seconds)) {
        problem = wants_number(option, low, MAX_SECONDS, value);
        return false;
    }
    return true;
}

command_line option_error(command_line line, const std::string& message)
{
    line.what = command_line::action::option_error;
    line.error = message;
    return line;
}

// Takes one option's value into line; false with the problem when it is
// not a value the option takes.
bool apply_value(command_line& line, const option_spec& spec, std::string_view value,
                 std::string& problem)
{
    const std::string option = "--" + std::string(spec.name);
    if (value.empty()) {
        problem = "option " + option + " needs a value";
        return false;
    }
    switch (spec.id) {
        case option_id::trusted_keys:
            line.options.trusted_key_files.emplace_back(value);
            return true;
        case option_id::result_log:
            line.options.result_log = value;
            return true;
        case option_id::jobs: {
            uint32_t jobs = 0;
            if (parse_number(value, 0, MAX_JOBS, jobs)) {
                line.options.workers = jobs;
                return true;
            }
            problem = wants_number(spec.name, 0, MAX_JOBS, value);
            return false;
        }
        case option_id::expect_first:
            return take_expected(spec.name, value, line.options.expect_first, problem);
        case option_id::expect_last:
            return take_expected(spec.name, value, line.options.expect_last, problem);
        case option_id::checkpoint:
            line.options.checkpoint = value;
            return true;
        case option_id::rotated:
            line.options.rotated.push_back({line.options.logs.size(), std::string(value)});
            return true;
        case option_id::time_field: {
            uint32_t field = 0;
            if (!parse_number(value, 1, MAX_TIME_FIELD, field)) {
                problem = wants_number(spec.name, 1, MAX_TIME_FIELD, value);
                return false;
            }
            line.options.time_field = field;
            return true;
        }
        case option_id::time_tolerance:
            return take_seconds(spec.name, value, 0, line.options.time_tolerance, problem);
        case option_id::gap_wait:
            return take_seconds(spec.name, value, 0, line.options.gap_wait, problem);
        case option_id::checkpoint_every:
            return take_seconds(spec.name, value, 1, line.options.checkpoint_every, problem);
        case option_id::metrics:
            line.options.metrics = value;
            return true;
        default:
            return true;
    }
}

// The flags that only the whole command line can judge.
struct option_flags {
    bool quiet = false;
    bool json = false;
    bool progress = false;
    bool no_progress = false;
    bool done = false;  // --help or --version: nothing else matters
};

const option_spec* find_option(std::string_view name)
{
    for (const option_spec& spec : OPTIONS) {
        if (spec.name == name)
            return &spec;
    }
    return nullptr;
}

// Takes the option at argv[i] (and its value, which may be the next
// argument); false with the problem in line.
bool take_option(int argc, char** argv, int& i, command_line& line, option_flags& flags)
{
    const std::string_view body = std::string_view(argv[i]).substr(2);
    const std::size_t equals = body.find('=');
    const std::string_view name = body.substr(0, equals);
    const option_spec* const spec = find_option(name);
    std::string problem;
    if (spec == nullptr) {
        problem = "unknown option --" + std::string(name);
    } else if (spec->takes_value) {
        std::string_view value;
        if (equals != std::string_view::npos) {
            value = body.substr(equals + 1);
        } else if (i + 1 < argc && !is_option_like(argv[i + 1])) {
            // An option after it is not its value: a value that begins with
            // "--" is given as --name=VALUE.
            value = argv[++i];
        }
        if (apply_value(line, *spec, value, problem))
            return true;
    } else if (equals != std::string_view::npos) {
        problem = "option --" + std::string(name) + " takes no value";
    } else {
        flags.quiet |= spec->id == option_id::quiet;
        flags.json |= spec->id == option_id::json;
        flags.progress |= spec->id == option_id::progress;
        flags.no_progress |= spec->id == option_id::no_progress;
        if (spec->id == option_id::event)
            line.options.mode = log_mode::event;
        line.options.strict |= spec->id == option_id::strict;
        line.options.follow |= spec->id == option_id::follow;
        if (spec->id == option_id::help || spec->id == option_id::version) {
            line.what = spec->id == option_id::help ? command_line::action::help
                                                    : command_line::action::version;
            flags.done = true;
        }
        return true;
    }
    line = option_error(std::move(line), problem);
    return false;
}

// The expected first number may not lie above the expected last.
bool expectations_agree(const run_options& options)
{
    return !options.expect_first || !options.expect_last ||
           *options.expect_first <= *options.expect_last;
}

// The options form once every argument is read: what only the whole
// command line can judge, and what follows from it.
command_line settled(command_line line, const option_flags& flags)
{
    if (flags.quiet && flags.json)
        return option_error(line, "options --quiet and --json exclude each other");
    if (flags.progress && flags.no_progress)
        return option_error(line, "options --progress and --no-progress exclude each other");
    if (line.options.logs.empty() && line.options.rotated.empty())
        return option_error(line, "no log given");
    if (!expectations_agree(line.options))
        return option_error(line, "option --expect-first is above --expect-last");
    // A followed log is read on after its end: standard input has none.
    if (line.options.follow && line.options.rotated.empty() && line.options.logs.back() == "-")
        return option_error(line, "option --follow needs a last log that is a file");
    if (flags.progress || flags.no_progress)
        line.options.progress = flags.progress ? progress_display::always : progress_display::never;
    if (flags.json) {
        line.options.style = report_style::json;
    } else if (flags.quiet) {
        line.options.style = report_style::quiet;
    }
    line.options.dash_is_standard_input = true;
    line.options.marks_incomplete = true;
    return line;
}

// The command line's options form.
command_line parse_options(int argc, char** argv, command_line line)
{
    bool options_ended = false;
    option_flags flags;
    for (int i = 1; i < argc && !flags.done; ++i) {
        const std::string_view arg = argv[i];
        if (!options_ended && arg == END_OF_OPTIONS) {
            options_ended = true;
        } else if (!options_ended && is_option_like(argv[i])) {
            if (!take_option(argc, argv, i, line, flags))
                return line;
        } else if (!options_ended && arg == EVENT_LOG_SWITCH) {
            line.options.mode = log_mode::event;
        } else {
            line.options.logs.emplace_back(arg);
        }
    }
    if (flags.done)
        return line;
    return settled(std::move(line), flags);
}

}  // namespace

command_line parse_command_line(int argc, char** argv)
{
    command_line line;
    for (int i = 1; i < argc; ++i) {
        if (is_option_like(argv[i]))
            return parse_options(argc, argv, std::move(line));
    }
    return parse_plain(argc, argv, std::move(line));
}

run_status run_command_line(int argc, char** argv, console_writer& console)
{
    diagnostics errors(STDERR_FILENO, std::getenv("JOURNAL_STREAM"));
    const command_line line = parse_command_line(argc, argv);
    switch (line.what) {
        case command_line::action::version:
            console.print(text::version, TAMBERLO_ORVEL_VERIFY_VERSION);
            console.print("%s", text::version_notice);
            console.flush();
            return run_status::ok;
        case command_line::action::help:
            console.print("%s%s", text::help_usage, text::options);
            console.print(text::report_bugs, TAMBERLO_ORVEL_VERIFY_BUG_ADDRESS);
            console.flush();
            return run_status::ok;
        case command_line::action::usage_error:
            console.print("%s%s", text::banner, text::usage);
            console.flush();
            return line.usage_status;
        case command_line::action::option_error: {
            text::values values;
            const terminal_safe problem(line.error.c_str(), errors.is_terminal());
            values.message = problem.c_str();
            errors.message(message_priority::error, text::fill(text::command_line_error, values));
            return run_status::bad_argument;
        }
        case command_line::action::run:
            break;
    }
    return run_verification(line.options, console, &errors);
}
