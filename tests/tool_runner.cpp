#include "tool_runner.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

scratch_dir::scratch_dir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "orvel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

scratch_dir::~scratch_dir()
{
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void scratch_dir::write(const std::string& name, const std::string& content) const
{
    std::ofstream out(file(name), std::ios::binary);
    out << content;
}

std::string scratch_dir::read(const std::string& name) const
{
    std::ifstream in(file(name), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

tool_run run_tool(const scratch_dir& dir, const std::vector<std::string>& args,
                  const tool_options& options)
{
    // The console comes through a pipe, which no file size limit affects;
    // standard error goes to a file outside dir.
    const scratch_dir capture;
    const std::string stderr_path = capture.file("stderr");
    int console_pipe[2];
    if (pipe(console_pipe) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<std::string> argv_text = {"tamberlo_orvel_verify"};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        close(console_pipe[0]);
        const int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err < 0 || dup2(console_pipe[1], 1) < 0 || dup2(err, 2) < 0 ||
            chdir(dir.path().c_str()) != 0)
            _exit(127);
        if (options.file_size_limit > 0) {
            // A write beyond the limit then fails with EFBIG instead of
            // killing the process.
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                               static_cast<rlim_t>(options.file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execv(TOOL_PATH, argv.data());
        _exit(127);
    }
    close(console_pipe[1]);
    tool_run run;
    char chunk[65536];
    ssize_t got = 0;
    while ((got = read(console_pipe[0], chunk, sizeof chunk)) > 0)
        run.console.append(chunk, static_cast<std::size_t>(got));
    close(console_pipe[0]);

    int status = 0;
    waitpid(child, &status, 0);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.errors = capture.read("stderr");
    run.result_log_exists = std::filesystem::is_regular_file(dir.file("out.log"));
    if (run.result_log_exists)
        run.result_log = dir.read("out.log");
    return run;
}

tool_run run_on_log(const std::string& log, bool event_log)
{
    const scratch_dir dir;
    dir.write("log.txt", log);
    std::vector<std::string> args = {"log.txt"};
    if (event_log)
        args.emplace_back("-evl");
    return run_tool(dir, args);
}
