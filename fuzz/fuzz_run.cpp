// Arbitrary bytes as a whole log, in both log kinds, through the complete
// run in process: nothing may crash, hang or touch memory it does not own.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "console.hpp"
#include "run.hpp"

namespace {

// Runs happen in a scratch directory of their own, with the console going
// nowhere; the fuzzing engine keeps its own working directory, where its
// corpus paths lead.
const char* scratch_directory()
{
    static char path[] = "/tmp/orvel-fuzz-XXXXXX";
    static bool made = false;
    if (!made) {
        if (mkdtemp(path) == nullptr)
            std::abort();
        made = true;
    }
    return path;
}

// The console goes nowhere.
console_writer& console()
{
    static const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    static console_writer writer(null);
    return writer;
}

class working_directory {
public:
    explicit working_directory(const char* path) : previous_(open(".", O_RDONLY | O_DIRECTORY))
    {
        if (previous_ < 0 || chdir(path) != 0)
            std::abort();
    }
    ~working_directory()
    {
        if (fchdir(previous_) != 0)
            std::abort();
        close(previous_);
    }
    working_directory(const working_directory&) = delete;
    working_directory& operator=(const working_directory&) = delete;

private:
    int previous_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const working_directory scratch(scratch_directory());
    std::FILE* log = std::fopen("fuzz.log", "wb");
    if (log == nullptr)
        std::abort();
    std::fwrite(data, 1, size, log);
    std::fclose(log);

    // The first byte picks the worker count and the report, so that the
    // in-place and the pooled checks and every renderer see every input.
    const unsigned workers = size > 0 ? data[0] % 3 : 0;
    const unsigned form = size > 0 ? data[0] / 3 % 3 : 0;
    std::vector<std::string> transaction = {"tamberlo_orvel_verify", "fuzz.log"};
    if (form == 1)
        transaction.emplace_back("--quiet");
    if (form == 2)
        transaction.emplace_back("--json");
    std::vector<std::string> event = transaction;
    event.emplace_back("-evl");
    for (std::vector<std::string>* args : {&transaction, &event}) {
        std::vector<char*> argv;
        for (std::string& arg : *args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        command_line line = parse_command_line(static_cast<int>(args->size()), argv.data());
        if (line.what != command_line::action::run)
            std::abort();
        line.options.workers = workers;
        run_verification(line.options, console());
    }
    return 0;
}
