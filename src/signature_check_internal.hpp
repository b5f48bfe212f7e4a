// Shared by the files of the signature check only: owners of the crypto
// library's contexts, and its elliptic-curve helpers.
#pragma once

#include <mbedtls/bignum.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/ecp.h>
#include <mbedtls/pem.h>
#include <mbedtls/pk.h>

#include <cstddef>
#include <string>

namespace signature_check_detail {

struct pk_key;
void release_line_key(pk_key& key);

// A line's public key; released when it goes out of scope.
struct pk_key {
    mbedtls_pk_context ctx;
    pk_key() { mbedtls_pk_init(&ctx); }
    ~pk_key() { release_line_key(*this); }
    pk_key(const pk_key&) = delete;
    pk_key& operator=(const pk_key&) = delete;
};

struct big_number {
    mbedtls_mpi value;
    big_number() { mbedtls_mpi_init(&value); }
    ~big_number() { mbedtls_mpi_free(&value); }
    big_number(const big_number&) = delete;
    big_number& operator=(const big_number&) = delete;
};

struct ec_point {
    mbedtls_ecp_point value;
    ec_point() { mbedtls_ecp_point_init(&value); }
    ~ec_point() { mbedtls_ecp_point_free(&value); }
    ec_point(const ec_point&) = delete;
    ec_point& operator=(const ec_point&) = delete;
};

struct ec_group {
    mbedtls_ecp_group group;
    ec_group() { mbedtls_ecp_group_init(&group); }
    ~ec_group() { mbedtls_ecp_group_free(&group); }
    ec_group(const ec_group&) = delete;
    ec_group& operator=(const ec_group&) = delete;
};

struct ecdsa_key {
    mbedtls_ecdsa_context ctx;
    ecdsa_key() { mbedtls_ecdsa_init(&ctx); }
    ~ecdsa_key() { mbedtls_ecdsa_free(&ctx); }
    ecdsa_key(const ecdsa_key&) = delete;
    ecdsa_key& operator=(const ecdsa_key&) = delete;
};

struct pem_block {
    mbedtls_pem_context pem;
    pem_block() { mbedtls_pem_init(&pem); }
    ~pem_block() { mbedtls_pem_free(&pem); }
    pem_block(const pem_block&) = delete;
    pem_block& operator=(const pem_block&) = delete;
};

extern const char PEM_BEGIN[];
extern const char PEM_END[];

// For a key text the library refused with library_code: when its
// parameters spell out one of the supported curves, parses the key with
// that curve's name instead and returns that parse's code; a well-formed
// domain of another curve gives MBEDTLS_ERR_ECP_FEATURE_UNAVAILABLE;
// anything else keeps library_code.
int parse_explicit_domain_key(pk_key& key, const unsigned char* key_text, int library_code);

// Returned by verify_with_point_tables when it leaves the decision to the
// library's own check.
inline constexpr int UNDECIDED = 1;

// Checks an ECDSA signature as mbedtls_ecdsa_read_signature does, with the
// comb tables of both fixed points kept between calls: curve is the key's
// curve (base point G), key_points the same curve with the key's public
// point as its base point. Returns 0, MBEDTLS_ERR_ECP_VERIFY_FAILED or
// UNDECIDED.
int verify_with_point_tables(mbedtls_ecp_group& curve, mbedtls_ecp_group& key_points,
                             const unsigned char* hash, std::size_t hash_len,
                             const unsigned char* signature, std::size_t signature_len);

}  // namespace signature_check_detail
