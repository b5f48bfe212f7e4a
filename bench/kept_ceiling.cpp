// The ceiling with the tool's own kept keys and tables: per line, split at
// the first two commas and call the tool's signature check, nothing else.
// The tool run with one worker is measured against it, so that the
// difference is what reading, reporting and writing cost.
//
//     bench_kept_ceiling <log>
//
// Prints the lines read, the lines verified and the elapsed time; exits 0
// only when every line verified.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "signature_check.hpp"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_kept_ceiling <log>\n");
        return 2;
    }
    std::FILE* log = std::fopen(argv[1], "r");
    if (log == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    const std::size_t buffer_size = 1 << 20;
    const auto line = std::make_unique<char[]>(buffer_size);
    check_state state;
    const auto start = std::chrono::steady_clock::now();
    long lines = 0;
    long verified = 0;
    while (std::fgets(line.get(), buffer_size, log) != nullptr) {
        line[std::strcspn(line.get(), "\r\n")] = '\0';
        char* const data = std::strchr(line.get(), ',');
        char* const signature = data != nullptr ? std::strchr(data + 1, ',') : nullptr;
        if (signature == nullptr)
            continue;
        *data = '\0';
        *signature = '\0';
        ++lines;
        if (check_line_signature(state, line.get(), data + 1, signature + 1).kind ==
            check_verdict::verified)
            ++verified;
    }
    std::fclose(log);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("lines %ld\nverified %ld\nseconds %.3f\n", lines, verified, elapsed.count());
    return lines == verified ? 0 : 1;
}
