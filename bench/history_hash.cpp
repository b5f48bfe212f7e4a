// How fast a checkpoint run hashes the history it resumes, against the
// crypto library's own SHA-256 over the same bytes: reads FILE once into
// memory and hashes it there with a bare mbedtls_sha256 loop, then reads
// it again as a resumed run does (log_reader::pass into a log_digest),
// ROUNDS times each, interleaved; prints the median rate of each and their
// ratio. The file should be in the page cache (it is read once first).
//
//     bench_history_hash FILE [ROUNDS]
#include <fcntl.h>
#include <mbedtls/sha256.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "log_digest.hpp"
#include "log_reader.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

std::string read_file(const char* path)
{
    std::string bytes;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return bytes;
    char chunk[1 << 16];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.append(chunk, got);
    std::fclose(file);
    return bytes;
}

double bare_seconds(const std::string& bytes, unsigned char* digest)
{
    const auto start = clock_type::now();
    (void)mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                             digest, 0);
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double history_seconds(const char* path, uint64_t& hashed)
{
    const auto start = clock_type::now();
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    log_reader reader(reader_settings{}, [] { return false; });
    reader.start(fd);
    log_digest digest;
    (void)reader.pass(UINT64_MAX, &digest);
    hashed = digest.size();
    close(fd);
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_history_hash FILE [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::string bytes = read_file(argv[1]);
    std::vector<double> bare;
    std::vector<double> history;
    unsigned char digest[32];
    for (int round = 0; round < rounds; ++round) {
        bare.push_back(bare_seconds(bytes, digest));
        uint64_t hashed = 0;
        history.push_back(history_seconds(argv[1], hashed));
        if (hashed != bytes.size()) {
            std::fprintf(stderr, "hashed %llu of %zu bytes\n",
                         static_cast<unsigned long long>(hashed), bytes.size());
            return 1;
        }
    }
    const double megabytes = static_cast<double>(bytes.size()) / 1e6;
    const double bare_rate = megabytes / median(bare);
    const double history_rate = megabytes / median(history);
    std::printf(
        "bytes %zu; bare mbedtls_sha256 %.1f MB/s; history hashing %.1f MB/s; "
        "history/bare %.3f (median of %d)\n",
        bytes.size(), bare_rate, history_rate, history_rate / bare_rate, rounds);
    return 0;
}
