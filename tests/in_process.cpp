#include "in_process.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "command_line.hpp"
#include "console.hpp"
#include "diagnostics.hpp"
#include "run.hpp"
#include "signature_check.hpp"

namespace {

// The working directory for as long as it lives.
class working_directory {
public:
    explicit working_directory(const std::string& path) : previous_(std::filesystem::current_path())
    {
        std::filesystem::current_path(path);
    }
    ~working_directory()
    {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
    }
    working_directory(const working_directory&) = delete;
    working_directory& operator=(const working_directory&) = delete;

private:
    std::filesystem::path previous_;
};

}  // namespace

tool_run run_in_process(const scratch_dir& dir, const std::vector<std::string>& args,
                        const in_process_settings& settings)
{
    std::vector<std::string> arguments = {"tamberlo_orvel_verify"};
    arguments.insert(arguments.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : arguments)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const std::string console_path = dir.file(".console");
    const int console_fd =
        open(console_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (console_fd < 0)
        throw std::runtime_error("cannot create " + console_path);
    const std::string errors_path = dir.file(".errors");
    const int errors_fd = open(errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (errors_fd < 0)
        throw std::runtime_error("cannot create " + errors_path);
    run_status status = run_status::ok;
    std::string result_log = "out.log";
    {
        const working_directory scratch(dir.path());
        console_writer console(console_fd, settings.journal_stream);
        diagnostics errors(errors_fd, settings.journal_stream);
        command_line line = parse_command_line(static_cast<int>(arguments.size()), argv.data());
        result_log = line.options.result_log;
        if (line.what != command_line::action::run) {
            status = run_command_line(static_cast<int>(arguments.size()), argv.data(), console);
        } else {
            if (!line.options.workers)
                line.options.workers = settings.workers;
            if (!line.options.key_store)
                line.options.key_store = settings.key_store;
            status = run_verification(line.options, console, &errors);
        }
    }
    close(console_fd);
    close(errors_fd);

    tool_run run;
    run.console = dir.read(".console");
    std::filesystem::remove(console_path);
    run.errors = dir.read(".errors");
    std::filesystem::remove(errors_path);
    const std::filesystem::path result_path = std::filesystem::path(dir.path()) / result_log;
    run.result_log_exists = std::filesystem::exists(result_path);
    if (run.result_log_exists) {
        std::ifstream in(result_path, std::ios::binary);
        run.result_log.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    run.exit_code = process_exit_code(status, 0);
    return run;
}

key_store_limits test_key_store()
{
    const char* const keys = std::getenv("ORVEL_TEST_KEY_STORE_KEYS");
    key_store_limits limits = THREAD_KEY_STORE;
    if (keys != nullptr)
        limits.keys = static_cast<std::size_t>(std::strtoul(keys, nullptr, 10));
    return limits;
}
