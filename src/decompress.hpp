// Recognising a compressed log by its first bytes, and decoding it as a
// stream: the caller reads the compressed bytes and hands them over in
// chunks of any size; the decoder writes the text into the caller's buffer,
// never more than it is given room for, so memory stays bounded whatever
// the size of the decoded text.
#pragma once

#include <cstddef>
#include <memory>

enum class compression { none, gzip, xz, zstd, bzip2 };

// How many bytes compression_of wants to see: a bzip2 stream is told from
// text by its stream header and the block magic after it.
inline constexpr std::size_t COMPRESSION_MAGIC_BYTES = 10;

// The format of a stream that begins with [head, head + size). Give it the
// first COMPRESSION_MAGIC_BYTES bytes, or the whole input when that is
// shorter: a format is chosen only when its whole magic is there, so a
// short file that holds part of one is text. No magic starts the way a
// text log line can (base64, blanks or commas), so text is never taken for
// compressed data.
compression compression_of(const unsigned char* head, std::size_t size);

// "gzip", "xz", "zstd", "bzip2" or "none".
const char* compression_name(compression format);

// What one decode call did.
struct decode_step {
    std::size_t consumed = 0;  // input bytes used, from the start of the input given
    std::size_t produced = 0;  // output bytes written, from the start of the output given
    bool failed = false;       // error() says why; the decoder is of no further use
};

// Decodes one compressed input: gzip (members in a row), xz (streams in a
// row, with stream padding), zstd (frames in a row, skippable frames among
// them) or bzip2 (streams in a row). Whatever follows the end of a member,
// stream or frame must be another one (or, in xz, stream padding): anything
// else, zero bytes included, fails ("bytes after the last member are not a
// member", in each format's words) once the text before it is out. Every integrity check the
// format carries is verified. With compression::none the input is copied
// unchanged, so that a caller can take one path for every input.
//
// Memory: gzip needs some 45 KiB, bzip2 some 4 MiB at most; xz streams that
// need more than 128 MiB, and zstd frames whose window is larger than
// 128 MiB (2^27 bytes), are refused with an error.
//
// Use:
//   decode(in, n, out, m)   as often as input arrives, with what the last
//                           call left unconsumed in front of the new bytes;
//   decode(nullptr, 0, out, m) after the input has ended, until a call
//                           produces less than m;
//   finish()                then, once: whether the input was whole.
class decoder {
public:
    // ok() is false when the library could not set up (out of memory).
    explicit decoder(compression format);
    ~decoder();
    decoder(const decoder&) = delete;
    decoder& operator=(const decoder&) = delete;

    bool ok() const;

    // Decodes from [in, in + in_size) into [out, out + out_size); never
    // reads or writes outside them. It stops when the output is full, when
    // the input is used up, or on a failure; on a failure, produced still
    // counts the bytes written before it was found (the whole text of a
    // member followed by bytes that are no member, say), which a reader
    // hands on before it reports the failure. Without a failure:
    // - produced < out_size: all the input was consumed and all the output
    //   it makes was written; the decoder needs more input. So a call that
    //   produces nothing while input is left over happens only on a failure
    //   (or with out_size 0).
    // - produced == out_size: there may be output still pending from input
    //   already consumed, and input may be left over. Call again, with the
    //   unconsumed input (and more after it, if any), or with no input at
    //   all to drain the pending output.
    // Header, padding and skippable bytes are consumed without output.
    decode_step decode(const unsigned char* in, std::size_t in_size, unsigned char* out,
                       std::size_t out_size);

    // Call once the compressed input has ended and the last decode call
    // consumed all of its input and produced less than its out_size. True
    // when the input held one whole member, stream or frame at least, and
    // every one it began was whole; false when it was cut short (error()
    // says so), after a failure, or when output was still pending. decode
    // must not be called after it.
    bool finish();

    // Why decode failed or finish returned false, in a few words; "" when
    // neither happened. The format's name is not part of it.
    const char* error() const;

private:
    struct state;
    std::unique_ptr<state> state_;
};
