// What a kept key costs: checks the lines of a log on one thread with a key
// store large enough for all of its keys, and reports the heap the store
// grew by per kept key, measured by the allocator (mallinfo2), beside what
// the store itself counts per key.
//
//     bench_key_cost <log> [most keys]
//
// Prints the keys kept, both figures in bytes per key, and the lines
// verified; exits 0 only when every line verified.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "signature_check.hpp"

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        (void)std::fprintf(stderr, "usage: bench_key_cost <log> [most keys]\n");
        return 2;
    }
    std::FILE* log = std::fopen(argv[1], "r");
    if (log == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    const long most_keys = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 4096;
    if (most_keys < 2) {
        (void)std::fprintf(stderr, "bench_key_cost: most keys must be 2 or more\n");
        return 2;
    }
    const std::size_t buffer_size = 1 << 20;
    const auto line = std::make_unique<char[]>(buffer_size);

    // The store outlives the measurement; its first line also loads the
    // curve the state keeps, which is not a key's cost: that line is
    // checked before the heap is measured.
    check_state store({static_cast<std::size_t>(most_keys), std::size_t{1} << 40});
    long lines = 0;
    long verified = 0;
    std::size_t heap_before = 0;
    while (std::fgets(line.get(), buffer_size, log) != nullptr) {
        line[std::strcspn(line.get(), "\r\n")] = '\0';
        char* const data = std::strchr(line.get(), ',');
        char* const signature = data != nullptr ? std::strchr(data + 1, ',') : nullptr;
        if (signature == nullptr)
            continue;
        *data = '\0';
        *signature = '\0';
        if (lines == 1)
            heap_before = mallinfo2().uordblks;
        ++lines;
        if (check_line_signature_by(store, check_method::kept_tables, line.get(), data + 1,
                                    signature + 1)
                .kind == check_verdict::verified)
            ++verified;
        if (lines > 1 && store.keys.size() == static_cast<std::size_t>(most_keys))
            break;
    }
    (void)std::fclose(log);
    const std::size_t heap_after = mallinfo2().uordblks;
    // The first line's key was kept before the measurement began.
    const std::size_t measured_keys = store.keys.size() - 1;
    if (measured_keys == 0) {
        (void)std::fprintf(stderr, "bench_key_cost: the log has fewer than two keys\n");
        return 2;
    }
    std::printf("keys %zu\nheap_per_key %.0f\ncounted_per_key %.0f\nlines %ld\nverified %ld\n",
                store.keys.size(), static_cast<double>(heap_after - heap_before) / measured_keys,
                static_cast<double>(store.keys.bytes()) / store.keys.size(), lines, verified);
    return lines == verified ? 0 : 1;
}
