// Each format is decoded by its reference library; this file only drives
// the four libraries through one push-style interface.
#include "decompress.hpp"

#include <bzlib.h>
#include <lzma.h>
#include <zstd.h>
#include <zstd_errors.h>
// zlib's input pointers are const only when this is defined.
#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <variant>

namespace {

// ---------------------------------------------------------------- magic

constexpr std::array<unsigned char, 3> GZIP_MAGIC = {0x1f, 0x8b, 0x08};  // with method deflate
constexpr std::array<unsigned char, 6> XZ_MAGIC = {0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x00};
constexpr std::array<unsigned char, 4> ZSTD_MAGIC = {0x28, 0xb5, 0x2f, 0xfd};
// A skippable frame, 0x184D2A50 to 0x184D2A5F little-endian, may come
// first; the low nibble of its first byte is free.
constexpr std::array<unsigned char, 3> ZSTD_SKIPPABLE_MAGIC_TAIL = {0x2a, 0x4d, 0x18};
constexpr std::array<unsigned char, 3> BZIP2_MAGIC = {'B', 'Z', 'h'};
// After "BZh" and the block size digit comes the first block's magic, or
// the end-of-stream magic of an empty stream. "BZh9" alone is base64 and
// could begin a key field; '&' in the one and 0x17 in the other cannot.
constexpr std::array<unsigned char, 6> BZIP2_BLOCK_MAGIC = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
constexpr std::array<unsigned char, 6> BZIP2_END_MAGIC = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};

template <std::size_t N>
bool has_at(const unsigned char* head, std::size_t size, std::size_t offset,
            const std::array<unsigned char, N>& magic)
{
    return size >= offset + N && std::memcmp(head + offset, magic.data(), N) == 0;
}

bool is_zstd(const unsigned char* head, std::size_t size)
{
    return has_at(head, size, 0, ZSTD_MAGIC) || (size >= 4 && (head[0] & 0xf0) == 0x50 &&
                                                 has_at(head, size, 1, ZSTD_SKIPPABLE_MAGIC_TAIL));
}

bool is_bzip2(const unsigned char* head, std::size_t size)
{
    return has_at(head, size, 0, BZIP2_MAGIC) && size >= 4 && head[3] >= '1' && head[3] <= '9' &&
           (has_at(head, size, 4, BZIP2_BLOCK_MAGIC) || has_at(head, size, 4, BZIP2_END_MAGIC));
}

// ---------------------------------------------------------------- decoding

constexpr std::uint64_t XZ_MEMORY_LIMIT = std::uint64_t{128} << 20;
// The library's own default (ZSTD_WINDOWLOG_LIMIT_DEFAULT), set explicitly
// so that it cannot change under the tool: a 128 MiB window at most.
constexpr int ZSTD_WINDOW_LOG_LIMIT = 27;

constexpr const char* CUT_SHORT = "data cut short";
constexpr const char* STALLED = "decoder made no progress";
constexpr const char* OUT_OF_MEMORY = "out of memory";
// Bytes after a whole member, stream or frame that cannot begin another
// one: the text before them was whole, so it is handed over before the
// failure (see decode_step).
constexpr const char* GZIP_TRAILING = "bytes after the last member are not a member";
constexpr const char* XZ_TRAILING =
    "bytes after the last stream are neither a stream nor stream padding";
constexpr const char* ZSTD_TRAILING = "bytes after the last frame are not a frame";
constexpr const char* BZIP2_TRAILING = "bytes after the last stream are not a stream";

// Where a decode call stands in the caller's two buffers.
struct buffers {
    const unsigned char* in;
    std::size_t in_left;
    unsigned char* out;
    std::size_t out_left;

    buffers(const unsigned char* in_begin, std::size_t in_size, unsigned char* out_begin,
            std::size_t out_size)
        : in(in_begin), in_left(in_size), out(out_begin), out_left(out_size)
    {
    }

    void advance(std::size_t consumed, std::size_t produced)
    {
        in += consumed;
        in_left -= consumed;
        out += produced;
        out_left -= produced;
    }
};

// zlib and libbz2 count in unsigned int: a larger buffer goes in pieces.
unsigned int piece(std::size_t size)
{
    return static_cast<unsigned int>(std::min<std::size_t>(size, UINT_MAX));
}

// After a library call that made no progress: fine when it waits for
// input, a fault when it had input and room.
const char* no_progress(const buffers& b) { return b.in_left == 0 ? nullptr : STALLED; }

// Where the input stands among a format's members (streams, frames).
struct members {
    bool inside = false;     // bytes of a member consumed, its end not reached yet
    bool ended_one = false;  // the end of a member reached

    void consumed_some() { inside = true; }
    void ended()
    {
        inside = false;
        ended_one = true;
    }
    const char* whole() const { return ended_one && !inside ? nullptr : CUT_SHORT; }
};

// compression::none: the input as it is.
struct plain_copy {};

bool ready(const plain_copy& /*unused*/) { return true; }

const char* decode_stream(plain_copy& /*unused*/, buffers& b)
{
    const std::size_t size = std::min(b.in_left, b.out_left);
    if (size > 0)
        std::memcpy(b.out, b.in, size);
    b.advance(size, size);
    return nullptr;
}

const char* finish_stream(plain_copy& /*unused*/) { return nullptr; }

// gzip: zlib's inflate with the gzip wrapper only (no zlib or raw data),
// which checks the header, the CRC-32 and the length of every member.
struct gzip_stream {
    z_stream z{};
    bool live = false;
    members at;
    // The header of the member being read, which zlib marks done (1) at
    // its end: a failure before that, after a whole member, means that
    // what follows is no member at all.
    gz_header header{};

    gzip_stream() { live = inflateInit2(&z, MAX_WBITS + 16) == Z_OK && watch_header(); }
    bool watch_header()
    {
        header = gz_header{};
        return inflateGetHeader(&z, &header) == Z_OK;
    }
    ~gzip_stream()
    {
        if (live)
            inflateEnd(&z);
    }
    gzip_stream(const gzip_stream&) = delete;
    gzip_stream& operator=(const gzip_stream&) = delete;
};

bool ready(const gzip_stream& s) { return s.live; }

const char* decode_stream(gzip_stream& s, buffers& b)
{
    while (b.out_left > 0 && (b.in_left > 0 || s.at.inside)) {
        // What follows a member must be another member.
        if (!s.at.inside && s.at.ended_one && (inflateReset(&s.z) != Z_OK || !s.watch_header()))
            return "decoder error";
        s.z.next_in = b.in;
        s.z.avail_in = piece(b.in_left);
        s.z.next_out = b.out;
        s.z.avail_out = piece(b.out_left);
        const unsigned int in_before = s.z.avail_in;
        const unsigned int out_before = s.z.avail_out;
        const int ret = inflate(&s.z, Z_NO_FLUSH);
        const std::size_t consumed = in_before - s.z.avail_in;
        const std::size_t produced = out_before - s.z.avail_out;
        b.advance(consumed, produced);
        if (ret == Z_STREAM_END) {
            s.at.ended();
            continue;
        }
        if (ret == Z_MEM_ERROR)
            return OUT_OF_MEMORY;
        if (ret == Z_DATA_ERROR && s.at.ended_one && s.header.done != 1)
            return GZIP_TRAILING;
        // Z_BUF_ERROR only says that no progress was possible.
        if (ret != Z_OK && ret != Z_BUF_ERROR)
            return s.z.msg != nullptr ? s.z.msg : "corrupt data";
        if (consumed > 0)
            s.at.consumed_some();
        if (consumed == 0 && produced == 0)
            return no_progress(b);
    }
    return nullptr;
}

const char* finish_stream(gzip_stream& s) { return s.at.whole(); }

// xz: liblzma's .xz decoder, one stream at a time, so that the bytes after
// a stream are known for what they are: stream padding (zero bytes, a
// multiple of four in all) and then another stream, or nothing. It reports
// a check type it cannot verify instead of skipping the check.
struct xz_stream {
    lzma_stream z = LZMA_STREAM_INIT;
    bool live = false;
    bool in_stream = true;      // set up for a stream whose end has not come yet
    std::uint64_t padding = 0;  // zero bytes since the last stream ended
    members at;

    xz_stream() { open(); }
    ~xz_stream() { lzma_end(&z); }
    xz_stream(const xz_stream&) = delete;
    xz_stream& operator=(const xz_stream&) = delete;

    // The library sets up an lzma_stream that it has set up before anew.
    bool open()
    {
        live = lzma_stream_decoder(&z, XZ_MEMORY_LIMIT, LZMA_TELL_UNSUPPORTED_CHECK) == LZMA_OK;
        in_stream = live;
        return live;
    }
};

bool ready(const xz_stream& s) { return s.live; }

const char* xz_message(lzma_ret ret)
{
    switch (ret) {
        case LZMA_MEM_ERROR:
            return OUT_OF_MEMORY;
        case LZMA_MEMLIMIT_ERROR:
            return "needs more than 128 MiB of memory";
        case LZMA_FORMAT_ERROR:
            return "not in the format";
        case LZMA_OPTIONS_ERROR:
            return "unsupported options";
        case LZMA_UNSUPPORTED_CHECK:
            return "unsupported integrity check";
        case LZMA_DATA_ERROR:
            return "corrupt data";
        case LZMA_BUF_ERROR:
            return CUT_SHORT;
        default:
            return "decoder error";
    }
}

// One call of the library; returns its code and moves b past what it did.
lzma_ret run_xz(xz_stream& s, buffers& b, lzma_action action)
{
    s.z.next_in = b.in;
    s.z.avail_in = b.in_left;
    s.z.next_out = b.out;
    s.z.avail_out = b.out_left;
    const lzma_ret ret = lzma_code(&s.z, action);
    b.advance(b.in_left - s.z.avail_in, b.out_left - s.z.avail_out);
    return ret;
}

// Between two streams: takes the padding, and sets the decoder up for the
// next stream once that stream's first byte is there. XZ_TRAILING when a
// byte other than zero follows padding that is not a whole number of fours.
const char* begin_next_xz_stream(xz_stream& s, buffers& b)
{
    while (b.in_left > 0 && *b.in == 0) {
        ++s.padding;
        b.advance(1, 0);
    }
    if (b.in_left == 0)
        return nullptr;
    if (s.padding % 4 != 0)
        return XZ_TRAILING;
    return s.open() ? nullptr : OUT_OF_MEMORY;
}

const char* decode_stream(xz_stream& s, buffers& b)
{
    while (b.out_left > 0) {
        if (!s.in_stream) {
            // Still between streams when the input has run out.
            const char* const problem = begin_next_xz_stream(s, b);
            if (problem != nullptr || !s.in_stream)
                return problem;
        }
        const std::size_t in_before = b.in_left;
        const std::size_t out_before = b.out_left;
        const lzma_ret ret = run_xz(s, b, LZMA_RUN);
        const bool progress = b.in_left != in_before || b.out_left != out_before;
        if (b.in_left != in_before)
            s.at.consumed_some();
        if (ret == LZMA_STREAM_END) {
            s.at.ended();
            s.in_stream = false;
            s.padding = 0;
            continue;
        }
        // No stream's magic where the next stream must begin (the first
        // one's was seen before a decoder was chosen).
        if (ret == LZMA_FORMAT_ERROR && s.at.ended_one)
            return XZ_TRAILING;
        // The library says LZMA_BUF_ERROR on a second call in a row that
        // could not progress: here that only means it waits for input.
        if (ret != LZMA_OK && !(ret == LZMA_BUF_ERROR && !progress))
            return xz_message(ret);
        if (!progress || b.in_left == 0)
            return no_progress(b);
    }
    return nullptr;
}

const char* finish_stream(xz_stream& s)
{
    if (!s.in_stream)
        return s.padding % 4 == 0 ? nullptr : XZ_TRAILING;
    return s.at.whole();
}

// zstd: libzstd's streaming decoder, which takes frames in a row and skips
// skippable frames; the frame checksum is verified when the frame has one.
struct zstd_stream {
    ZSTD_DCtx* z = ZSTD_createDCtx();
    bool live = false;
    members at;
    // The first bytes of the frame being read, until its magic is whole.
    std::array<unsigned char, ZSTD_MAGIC.size()> magic{};
    std::size_t magic_seen = 0;

    zstd_stream()
    {
        live = z != nullptr && ZSTD_isError(ZSTD_DCtx_setParameter(z, ZSTD_d_windowLogMax,
                                                                   ZSTD_WINDOW_LOG_LIMIT)) == 0;
    }
    ~zstd_stream() { ZSTD_freeDCtx(z); }
    zstd_stream(const zstd_stream&) = delete;
    zstd_stream& operator=(const zstd_stream&) = delete;
};

bool ready(const zstd_stream& s) { return s.live; }

// Whether the first size bytes of a frame (4 at most) can begin a frame
// of the current format or a skippable frame.
bool begins_zstd_frame(const unsigned char* head, std::size_t size)
{
    const bool frame = std::equal(head, head + size, ZSTD_MAGIC.begin());
    const bool skippable = (size == 0 || (head[0] & 0xf0) == 0x50) &&
                           std::equal(head + std::min<std::size_t>(size, 1), head + size,
                                      ZSTD_SKIPPABLE_MAGIC_TAIL.begin());
    return frame || skippable;
}

// The library also reads frames of its old formats, but only when their
// magic arrives in one call with more bytes behind it (a few bytes alone
// are checked against the current magic), so its verdict on them would
// depend on how the input is cut. Here they are no frames, as
// compression_of does not take them for zstd either: the magic is checked
// before the library sees its bytes, however they arrive.
bool magic_may_follow(const zstd_stream& s, const buffers& b)
{
    std::array<unsigned char, ZSTD_MAGIC.size()> head = s.magic;
    const std::size_t more = std::min(head.size() - s.magic_seen, b.in_left);
    std::copy_n(b.in, more, head.begin() + static_cast<std::ptrdiff_t>(s.magic_seen));
    return begins_zstd_frame(head.data(), s.magic_seen + more);
}

void note_magic(zstd_stream& s, const unsigned char* consumed, std::size_t size)
{
    const std::size_t more = std::min(s.magic.size() - s.magic_seen, size);
    std::copy_n(consumed, more, s.magic.begin() + static_cast<std::ptrdiff_t>(s.magic_seen));
    s.magic_seen += more;
}

const char* decode_stream(zstd_stream& s, buffers& b)
{
    while (b.out_left > 0 && (b.in_left > 0 || s.at.inside)) {
        if (!magic_may_follow(s, b))
            return s.at.ended_one ? ZSTD_TRAILING : ZSTD_getErrorString(ZSTD_error_prefix_unknown);
        ZSTD_inBuffer in{b.in, b.in_left, 0};
        ZSTD_outBuffer out{b.out, b.out_left, 0};
        // 0 when a frame has ended and all its output is written; the
        // library stops at the end of a frame.
        const std::size_t ret = ZSTD_decompressStream(s.z, &out, &in);
        note_magic(s, b.in, in.pos);
        b.advance(in.pos, out.pos);
        if (ZSTD_isError(ret) != 0)
            return ZSTD_getErrorName(ret);
        if (ret == 0) {
            s.at.ended();
            s.magic_seen = 0;
        }
        if (ret != 0 && in.pos > 0)
            s.at.consumed_some();
        if (in.pos == 0 && out.pos == 0)
            return no_progress(b);
    }
    return nullptr;
}

const char* finish_stream(zstd_stream& s) { return s.at.whole(); }

// bzip2: libbz2's decoder, which checks every block's CRC and the CRC of
// the stream. It knows one stream only, so it is set up afresh for each.
struct bzip2_stream {
    bz_stream z{};
    bool live = false;  // z is set up: between two streams it is not
    bool set_up_failed = false;
    members at;

    bzip2_stream() { open(); }
    ~bzip2_stream() { close(); }
    bzip2_stream(const bzip2_stream&) = delete;
    bzip2_stream& operator=(const bzip2_stream&) = delete;

    bool open()
    {
        z = bz_stream{};
        // Not the small-memory mode, which is about half as fast.
        live = BZ2_bzDecompressInit(&z, 0, 0) == BZ_OK;
        set_up_failed = !live;
        return live;
    }
    void close()
    {
        if (live)
            BZ2_bzDecompressEnd(&z);
        live = false;
    }
};

bool ready(const bzip2_stream& s) { return !s.set_up_failed; }

const char* bzip2_message(int ret)
{
    switch (ret) {
        case BZ_MEM_ERROR:
            return OUT_OF_MEMORY;
        case BZ_DATA_ERROR:
            return "corrupt data";
        case BZ_DATA_ERROR_MAGIC:
            return "not in the format";
        default:
            return "decoder error";
    }
}

const char* decode_stream(bzip2_stream& s, buffers& b)
{
    while (b.out_left > 0 && (b.in_left > 0 || s.at.inside)) {
        if (!s.live && !s.open())
            return OUT_OF_MEMORY;
        // The library never writes through next_in.
        s.z.next_in = const_cast<char*>(reinterpret_cast<const char*>(b.in));
        s.z.avail_in = piece(b.in_left);
        s.z.next_out = reinterpret_cast<char*>(b.out);
        s.z.avail_out = piece(b.out_left);
        const unsigned int in_before = s.z.avail_in;
        const unsigned int out_before = s.z.avail_out;
        const int ret = BZ2_bzDecompress(&s.z);
        const std::size_t consumed = in_before - s.z.avail_in;
        const std::size_t produced = out_before - s.z.avail_out;
        b.advance(consumed, produced);
        if (ret == BZ_STREAM_END) {
            // The stream ends on the byte that holds its last bit; the
            // next byte must begin another stream.
            s.at.ended();
            s.close();
            continue;
        }
        // The first stream's magic was seen before a decoder was chosen.
        if (ret == BZ_DATA_ERROR_MAGIC && s.at.ended_one)
            return BZIP2_TRAILING;
        if (ret != BZ_OK)
            return bzip2_message(ret);
        if (consumed > 0)
            s.at.consumed_some();
        if (consumed == 0 && produced == 0)
            return no_progress(b);
    }
    return nullptr;
}

const char* finish_stream(bzip2_stream& s) { return s.at.whole(); }

}  // namespace

compression compression_of(const unsigned char* head, std::size_t size)
{
    if (has_at(head, size, 0, GZIP_MAGIC))
        return compression::gzip;
    if (has_at(head, size, 0, XZ_MAGIC))
        return compression::xz;
    if (is_zstd(head, size))
        return compression::zstd;
    if (is_bzip2(head, size))
        return compression::bzip2;
    return compression::none;
}

const char* compression_name(compression format)
{
    switch (format) {
        case compression::gzip:
            return "gzip";
        case compression::xz:
            return "xz";
        case compression::zstd:
            return "zstd";
        case compression::bzip2:
            return "bzip2";
        case compression::none:
            break;
    }
    return "none";
}

struct decoder::state {
    std::variant<plain_copy, gzip_stream, xz_stream, zstd_stream, bzip2_stream> format;
    const char* error = "";
    bool failed = false;
    // The last call filled its output: more may be waiting in the library.
    bool output_pending = false;
    bool finished = false;

    void fail(const char* message)
    {
        failed = true;
        error = message;
    }
};

decoder::decoder(compression format) : state_(std::make_unique<state>())
{
    auto& alternatives = state_->format;
    switch (format) {
        case compression::gzip:
            alternatives.emplace<gzip_stream>();
            break;
        case compression::xz:
            alternatives.emplace<xz_stream>();
            break;
        case compression::zstd:
            alternatives.emplace<zstd_stream>();
            break;
        case compression::bzip2:
            alternatives.emplace<bzip2_stream>();
            break;
        case compression::none:
            break;
    }
}

decoder::~decoder() = default;

bool decoder::ok() const
{
    return std::visit([](const auto& stream) { return ready(stream); }, state_->format);
}

decode_step decoder::decode(const unsigned char* in, std::size_t in_size, unsigned char* out,
                            std::size_t out_size)
{
    state& s = *state_;
    if (!s.failed && s.finished)
        s.fail("input given after its end");
    if (!s.failed && !ok())
        s.fail(OUT_OF_MEMORY);
    if (s.failed)
        return {0, 0, true};
    // Without new input the libraries are only called to drain.
    if (in_size == 0 && !s.output_pending)
        return {};

    buffers b{in, in_size, out, out_size};
    const char* problem =
        std::visit([&b](auto& stream) { return decode_stream(stream, b); }, s.format);
    const decode_step step{in_size - b.in_left, out_size - b.out_left, problem != nullptr};
    if (problem != nullptr)
        s.fail(problem);
    if (out_size > 0)
        s.output_pending = step.produced == out_size;
    return step;
}

bool decoder::finish()
{
    state& s = *state_;
    if (!s.failed && !ok())
        s.fail(OUT_OF_MEMORY);
    if (!s.failed && !s.finished) {
        s.finished = true;
        const char* problem =
            s.output_pending
                ? "output was still pending"
                : std::visit([](auto& stream) { return finish_stream(stream); }, s.format);
        if (problem != nullptr)
            s.fail(problem);
    }
    return !s.failed;
}

const char* decoder::error() const { return state_->error; }
