// Decoding speed of one compressed log: reads it in 64 KiB chunks, as the
// log reader does, and decodes into a 64 KiB buffer whose text it drops.
// bench/decompress_run runs it; nothing here is a test.
//
//     bench_decompress <compressed>            time the decoding
//     bench_decompress <compressed> <text>     also compare with the text
//
// Prints the format, the compressed and decoded sizes, the seconds spent
// and the MB/s (10^6 bytes) of decoded text. Exits 0 only when the input
// decoded whole (and equal to the text, when given).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "decompress.hpp"

namespace {

constexpr std::size_t CHUNK = 1 << 16;

// The text a decoded chunk must equal, read alongside; no file: no check.
struct expected_text {
    int fd = -1;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(CHUNK);
    bool equal = true;

    void compare(const unsigned char* text, std::size_t size)
    {
        if (fd < 0 || size == 0)
            return;
        std::size_t have = 0;
        while (have < size) {
            const ssize_t n = read(fd, buffer.data() + have, size - have);
            if (n <= 0)
                break;
            have += static_cast<std::size_t>(n);
        }
        equal = equal && have == size && std::memcmp(buffer.data(), text, size) == 0;
    }
    bool at_end()
    {
        unsigned char byte = 0;
        return fd < 0 || read(fd, &byte, 1) == 0;
    }
};

struct totals {
    std::size_t in = 0;
    std::size_t out = 0;
    bool whole = false;
};

totals decode_file(int fd, compression format, std::vector<unsigned char>& input, std::size_t have,
                   expected_text& expected)
{
    decoder d(format);
    std::vector<unsigned char> out(CHUNK);
    totals sum{have, 0, false};
    std::size_t used = 0;
    bool ended = false;
    while (d.ok()) {
        const decode_step step = d.decode(input.data() + used, have - used, out.data(), out.size());
        used += step.consumed;
        sum.out += step.produced;
        expected.compare(out.data(), step.produced);
        if (step.failed) {
            std::fprintf(stderr, "bench_decompress: %s: %s\n", compression_name(format), d.error());
            return sum;
        }
        if (step.produced == out.size())
            continue;
        if (ended)
            break;
        // All consumed: read the next chunk.
        const ssize_t n = read(fd, input.data(), input.size());
        ended = n <= 0;
        have = n > 0 ? static_cast<std::size_t>(n) : 0;
        used = 0;
        sum.in += have;
    }
    sum.whole = d.finish() && expected.equal && expected.at_end();
    if (!sum.whole)
        std::fprintf(stderr, "bench_decompress: not whole: %s\n", d.error());
    return sum;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: bench_decompress <compressed> [<text>]\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY);
    expected_text expected;
    if (argc == 3)
        expected.fd = open(argv[2], O_RDONLY);
    if (fd < 0 || (argc == 3 && expected.fd < 0)) {
        std::perror("bench_decompress: open");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<unsigned char> input(CHUNK);
    const ssize_t first = read(fd, input.data(), input.size());
    const std::size_t have = first > 0 ? static_cast<std::size_t>(first) : 0;
    const compression format = compression_of(input.data(), have);
    const totals sum = decode_file(fd, format, input, have, expected);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s %zu %zu %.3f %.1f\n", compression_name(format), sum.in, sum.out, seconds,
                seconds > 0 ? static_cast<double>(sum.out) / seconds / 1e6 : 0.0);
    close(fd);
    if (expected.fd >= 0)
        close(expected.fd);
    return sum.whole ? 0 : 1;
}
