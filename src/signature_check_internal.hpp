// Shared by the files of the signature check only: owners of the crypto
// library's contexts, a kept key, and the elliptic-curve helpers.
#pragma once

#include <mbedtls/bignum.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/ecp.h>
#include <mbedtls/pem.h>
#include <mbedtls/pk.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "signature_check.hpp"

namespace signature_check_detail {

// One of the library's C objects, initialised on construction and freed
// when it goes out of scope.
template <typename Object, void (*initialise)(Object*), void (*release)(Object*)>
struct library_object {
    Object value;
    library_object() { initialise(&value); }
    ~library_object() { release(&value); }
    library_object(const library_object&) = delete;
    library_object& operator=(const library_object&) = delete;
};

// Frees a line's public key.
inline void release_line_key(mbedtls_pk_context* key) { mbedtls_pk_free(key); }

using pk_key = library_object<mbedtls_pk_context, mbedtls_pk_init, release_line_key>;
using big_number = library_object<mbedtls_mpi, mbedtls_mpi_init, mbedtls_mpi_free>;
using ec_point = library_object<mbedtls_ecp_point, mbedtls_ecp_point_init, mbedtls_ecp_point_free>;
using ec_group = library_object<mbedtls_ecp_group, mbedtls_ecp_group_init, mbedtls_ecp_group_free>;
using ecdsa_key = library_object<mbedtls_ecdsa_context, mbedtls_ecdsa_init, mbedtls_ecdsa_free>;
using pem_block = library_object<mbedtls_pem_context, mbedtls_pem_init, mbedtls_pem_free>;

// A parsed key (or the code its parse failed with), kept for the lines
// that carry the same key field.
struct kept_key {
    int code = 0;
    pk_key key;
    // The key's curve with the key's point as its base point, so that the
    // library keeps that point's multiplication table.
    std::unique_ptr<ec_group> point_table;
    // Worked out when first asked for (check_settings).
    std::optional<key_identity> identity;
};

// For a key text the library refused with library_code: when its
// parameters spell out one of the supported curves, parses the key with
// that curve's name instead and returns that parse's code; a well-formed
// domain of another curve gives MBEDTLS_ERR_ECP_FEATURE_UNAVAILABLE;
// anything else keeps library_code.
int parse_explicit_domain_key(pk_key& key, const unsigned char* key_text, int library_code);

// Writes the SubjectPublicKeyInfo of an id-ecDH key (named curve,
// uncompressed point) at the end of der; returns its length or a negative
// code.
int write_ecdh_key_der(const mbedtls_ecp_keypair& pair, unsigned char* der, std::size_t size);

// The key of a key field, parsed as a line's key is, as the library writes
// it back (named curve, uncompressed point) into der; 0, or the parser's or
// the writer's negative code.
int key_field_der(const std::string& key_field, std::vector<unsigned char>& der);

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
