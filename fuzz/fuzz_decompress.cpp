// Arbitrary bytes through the decoder. The first byte picks the format and
// the sizes of the input and output chunks; the rest is the compressed
// input. Every chunk is a heap block of exactly its size, so a read or
// write past one is caught. Checked on every input: never more output
// than room, the calling contract of decode, and the same text and verdict
// as when the whole input is decoded in one go.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "decompress.hpp"

namespace {

constexpr std::array<compression, 5> FORMATS = {compression::none, compression::gzip,
                                                compression::xz, compression::zstd,
                                                compression::bzip2};
constexpr std::array<std::size_t, 4> IN_CHUNKS = {1, 3, 64, 4096};
constexpr std::array<std::size_t, 4> OUT_CHUNKS = {1, 5, 512, 65536};
// A few bytes of input can stand for far more text; decoding stops here.
constexpr std::size_t OUTPUT_CAP = 128 << 10;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

struct outcome {
    std::string text;
    bool refused = false;  // failed, or finish() said it was not whole
    bool capped = false;   // stopped at OUTPUT_CAP
};

// As a reader would: in_chunk more bytes once the decoder has consumed
// what was read, calls again while the output comes back full, and calls
// with no input to drain once the input has ended.
outcome decode_in_chunks(compression format, const uint8_t* data, std::size_t size,
                         std::size_t in_chunk, std::size_t out_chunk)
{
    decoder d(format);
    require(d.ok());
    outcome result;
    const auto out = std::make_unique<unsigned char[]>(out_chunk);
    std::size_t read = 0;
    std::size_t used = 0;
    // The input read and not yet consumed, copied at each read into a
    // block of its own that ends where the read ended.
    std::unique_ptr<unsigned char[]> unused;
    std::size_t unused_from = 0;
    for (;;) {
        if (read == used && read < size) {
            read = std::min(read + in_chunk, size);
            unused = std::make_unique<unsigned char[]>(read - used);
            std::copy(data + used, data + read, unused.get());
            unused_from = used;
        }
        const decode_step step =
            d.decode(unused.get() + (used - unused_from), read - used, out.get(), out_chunk);
        require(step.consumed <= read - used && step.produced <= out_chunk);
        used += step.consumed;
        result.text.append(reinterpret_cast<const char*>(out.get()), step.produced);
        if (step.failed) {
            require(*d.error() != '\0' && !d.finish());
            result.refused = true;
            return result;
        }
        if (result.text.size() > OUTPUT_CAP) {
            result.capped = true;
            return result;
        }
        if (step.produced == out_chunk)
            continue;
        require(used == read);
        if (read == size)
            break;
    }
    result.refused = !d.finish();
    require(result.refused == (*d.error() != '\0'));
    return result;
}

bool is_prefix(const std::string& prefix, const std::string& of)
{
    return of.compare(0, prefix.size(), prefix) == 0;
}

// A format, once recognised in a head, stays recognised in longer heads.
void check_recognition(const uint8_t* data, std::size_t size)
{
    compression found = compression::none;
    for (std::size_t n = 0; n <= std::min(size, COMPRESSION_MAGIC_BYTES); ++n) {
        const compression now = compression_of(data, n);
        require(found == compression::none || now == found);
        found = now;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const unsigned selector = data[0];
    const compression format = FORMATS.at(selector % FORMATS.size());
    const std::size_t in_chunk = IN_CHUNKS.at(selector / 5 % IN_CHUNKS.size());
    const std::size_t out_chunk = OUT_CHUNKS.at(selector / 20 % OUT_CHUNKS.size());
    check_recognition(data + 1, size - 1);

    const outcome chunked = decode_in_chunks(format, data + 1, size - 1, in_chunk, out_chunk);
    const outcome whole = decode_in_chunks(format, data + 1, size - 1, size, 65536);
    if (chunked.capped || whole.capped || chunked.refused || whole.refused) {
        require(is_prefix(chunked.text, whole.text) || is_prefix(whole.text, chunked.text));
    } else {
        require(chunked.text == whole.text);
    }
    if (!chunked.capped && !whole.capped)
        require(chunked.refused == whole.refused);
    return 0;
}
