// The elliptic-curve helpers of the signature check, for its own files
// only: keys with explicit domain parameters, id-ecDH keys written back,
// and ECDSA with kept point tables.
#pragma once

#include <cstddef>

#include "signature_check_kept_key.hpp"

namespace signature_check_detail {

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
