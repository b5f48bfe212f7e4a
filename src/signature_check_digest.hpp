// SHA-256 over a stream of bytes, for the digests of a log's history. One
// of the signature check's files, which alone talk to the crypto library.
#pragma once

#include <array>
#include <cstddef>
#include <memory>

using sha256_digest = std::array<unsigned char, 32>;

class sha256_stream {
public:
    sha256_stream();
    ~sha256_stream();
    // A copy goes on from the same point.
    sha256_stream(const sha256_stream& other);
    sha256_stream& operator=(const sha256_stream& other);

    void add(const void* bytes, std::size_t size);
    // The digest of what was added so far; the stream can go on after it.
    sha256_digest digest() const;

private:
    struct state;
    std::unique_ptr<state> state_;
};
