// The crypto library's contexts as the signature check owns them, and a
// parsed key as it is kept from line to line. Shared by the signature
// check's files only; the key store needs no more of the check than this.
#pragma once

#include <mbedtls/bignum.h>
#include <mbedtls/ecdsa.h>
#include <mbedtls/ecp.h>
#include <mbedtls/pem.h>
#include <mbedtls/pk.h>

#include <memory>
#include <optional>

#include "key_identity.hpp"

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
    // Whether the key field is the one encoding of its key (strict_encoding).
    std::optional<bool> exact_encoding;
};

}  // namespace signature_check_detail
