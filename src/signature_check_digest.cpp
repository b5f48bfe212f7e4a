#include "signature_check_digest.hpp"

#include <mbedtls/sha256.h>

// Only the library's *_ret functions report failures; SHA-256 in software
// has none to report, so their results are not looked at.
struct sha256_stream::state {
    state() { mbedtls_sha256_init(&context); }
    ~state() { mbedtls_sha256_free(&context); }
    state(const state&) = delete;
    state& operator=(const state&) = delete;

    mbedtls_sha256_context context;
};

sha256_stream::sha256_stream() : state_(std::make_unique<state>())
{
    (void)mbedtls_sha256_starts_ret(&state_->context, 0);
}

sha256_stream::~sha256_stream() = default;

sha256_stream::sha256_stream(const sha256_stream& other) : state_(std::make_unique<state>())
{
    mbedtls_sha256_clone(&state_->context, &other.state_->context);
}

sha256_stream& sha256_stream::operator=(const sha256_stream& other)
{
    if (this != &other)
        mbedtls_sha256_clone(&state_->context, &other.state_->context);
    return *this;
}

void sha256_stream::add(const void* bytes, std::size_t size)
{
    (void)mbedtls_sha256_update_ret(&state_->context, static_cast<const unsigned char*>(bytes),
                                    size);
}

sha256_digest sha256_stream::digest() const
{
    mbedtls_sha256_context copy;
    mbedtls_sha256_init(&copy);
    mbedtls_sha256_clone(&copy, &state_->context);
    sha256_digest digest{};
    (void)mbedtls_sha256_finish_ret(&copy, digest.data());
    mbedtls_sha256_free(&copy);
    return digest;
}
