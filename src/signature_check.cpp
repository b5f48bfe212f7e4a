#include "signature_check.hpp"

#include <mbedtls/asn1.h>
#include <mbedtls/asn1write.h>
#include <mbedtls/bignum.h>
#include <mbedtls/ecp.h>
#include <mbedtls/md.h>
#include <mbedtls/oid.h>
#include <mbedtls/pem.h>
#include <mbedtls/pk.h>
#include <mbedtls/version.h>

#include <cstring>
#include <string>
#include <vector>

#include "line_format.hpp"

// The tool accepts exactly what a library built with these options accepts;
// a library configured otherwise must fail the build, not verify differently.
#if MBEDTLS_VERSION_MAJOR != 2
#error "the signature check is written against the 2.x interface of the crypto library"
#endif
#if !defined(MBEDTLS_PK_PARSE_C) || !defined(MBEDTLS_PEM_PARSE_C) || !defined(MBEDTLS_BASE64_C) || \
    !defined(MBEDTLS_RSA_C) || !defined(MBEDTLS_PKCS1_V15) || !defined(MBEDTLS_ECDSA_C) ||       \
    !defined(MBEDTLS_SHA256_C) || !defined(MBEDTLS_ASN1_WRITE_C) || !defined(MBEDTLS_OID_C)
#error "the crypto library lacks PEM, base64, RSA PKCS#1 v1.5, ECDSA, SHA-256 or key parsing"
#endif
#if !defined(MBEDTLS_ECP_DP_SECP192R1_ENABLED) || !defined(MBEDTLS_ECP_DP_SECP224R1_ENABLED) || \
    !defined(MBEDTLS_ECP_DP_SECP256R1_ENABLED) || !defined(MBEDTLS_ECP_DP_SECP384R1_ENABLED) || \
    !defined(MBEDTLS_ECP_DP_SECP521R1_ENABLED) || !defined(MBEDTLS_ECP_DP_SECP192K1_ENABLED) || \
    !defined(MBEDTLS_ECP_DP_SECP224K1_ENABLED) || !defined(MBEDTLS_ECP_DP_SECP256K1_ENABLED) || \
    !defined(MBEDTLS_ECP_DP_BP256R1_ENABLED) || !defined(MBEDTLS_ECP_DP_BP384R1_ENABLED) ||     \
    !defined(MBEDTLS_ECP_DP_BP512R1_ENABLED)
#error "the crypto library lacks one of the eleven supported curves"
#endif
#if !defined(MBEDTLS_PK_PARSE_EC_EXTENDED)
#error "the crypto library does not parse explicit elliptic-curve domain parameters"
#endif
#if defined(MBEDTLS_PK_PARSE_EC_COMPRESSED)
#error "the crypto library accepts compressed points, which the tool must refuse"
#endif
static_assert(MBEDTLS_MPI_MAX_SIZE >= 1024, "RSA keys of 8,192 bits need 1,024-byte numbers");
static_assert(SIGNATURE_BUFFER_SIZE == MBEDTLS_MPI_MAX_SIZE);

namespace {

constexpr char PEM_BEGIN[] = "-----BEGIN PUBLIC KEY-----";
constexpr char PEM_END[] = "-----END PUBLIC KEY-----";
constexpr std::size_t SHA256_SIZE = 32;

// The eleven curves whose keys the tool accepts, in the library's order.
constexpr mbedtls_ecp_group_id LISTED_CURVES[] = {
    MBEDTLS_ECP_DP_SECP192R1, MBEDTLS_ECP_DP_SECP224R1, MBEDTLS_ECP_DP_SECP256R1,
    MBEDTLS_ECP_DP_SECP384R1, MBEDTLS_ECP_DP_SECP521R1, MBEDTLS_ECP_DP_SECP192K1,
    MBEDTLS_ECP_DP_SECP224K1, MBEDTLS_ECP_DP_SECP256K1, MBEDTLS_ECP_DP_BP256R1,
    MBEDTLS_ECP_DP_BP384R1,   MBEDTLS_ECP_DP_BP512R1,
};

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

void release_line_key(pk_key& key) { mbedtls_pk_free(&key.ctx); }

struct big_number {
    mbedtls_mpi value;
    big_number() { mbedtls_mpi_init(&value); }
    ~big_number() { mbedtls_mpi_free(&value); }
    big_number(const big_number&) = delete;
    big_number& operator=(const big_number&) = delete;
};

struct ec_group {
    mbedtls_ecp_group group;
    ec_group() { mbedtls_ecp_group_init(&group); }
    ~ec_group() { mbedtls_ecp_group_free(&group); }
    ec_group(const ec_group&) = delete;
    ec_group& operator=(const ec_group&) = delete;
};

struct pem_block {
    mbedtls_pem_context pem;
    pem_block() { mbedtls_pem_init(&pem); }
    ~pem_block() { mbedtls_pem_free(&pem); }
    pem_block(const pem_block&) = delete;
    pem_block& operator=(const pem_block&) = delete;
};

// An explicit elliptic-curve domain as far as it identifies a curve.
struct curve_domain {
    big_number p, a, b, n, g_x;
    int g_y_parity = 0;
};

bool read_field_element(unsigned char** p, const unsigned char* end, mbedtls_mpi* value)
{
    std::size_t len = 0;
    if (mbedtls_asn1_get_tag(p, end, &len, MBEDTLS_ASN1_OCTET_STRING) != 0 ||
        mbedtls_mpi_read_binary(value, *p, len) != 0)
        return false;
    *p += len;
    return true;
}

// Reads the base point: 04 X Y, or 02/03 X; only X and the parity of Y
// identify the curve.
bool read_base_point(unsigned char** p, const unsigned char* end, curve_domain& domain)
{
    std::size_t len = 0;
    if (mbedtls_asn1_get_tag(p, end, &len, MBEDTLS_ASN1_OCTET_STRING) != 0 || len == 0)
        return false;
    const unsigned char* point = *p;
    const std::size_t coordinate_size = mbedtls_mpi_size(&domain.p.value);
    if (point[0] == 0x04 && len == 2 * coordinate_size + 1)
        domain.g_y_parity = point[len - 1] & 1;
    else if ((point[0] == 0x02 || point[0] == 0x03) && len == coordinate_size + 1)
        domain.g_y_parity = point[0] & 1;
    else
        return false;
    if (mbedtls_mpi_read_binary(&domain.g_x.value, point + 1, coordinate_size) != 0)
        return false;
    *p += len;
    return true;
}

// Parses a SpecifiedECDomain: version 1 to 3, a prime field, the curve's a
// and b (a seed is ignored), the base point and the order; anything after
// the order (the cofactor) is ignored. Returns false when it is malformed.
bool read_specified_domain(const mbedtls_asn1_buf& params, curve_domain& domain)
{
    unsigned char* p = params.p;
    const unsigned char* const end = params.p + params.len;
    std::size_t len = 0;

    int version = 0;
    if (mbedtls_asn1_get_int(&p, end, &version) != 0 || version < 1 || version > 3)
        return false;

    if (mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0)
        return false;
    const unsigned char* const end_field = p + len;
    if (mbedtls_asn1_get_tag(&p, end_field, &len, MBEDTLS_ASN1_OID) != 0 ||
        len != MBEDTLS_OID_SIZE(MBEDTLS_OID_ANSI_X9_62_PRIME_FIELD) ||
        std::memcmp(p, MBEDTLS_OID_ANSI_X9_62_PRIME_FIELD, len) != 0)
        return false;
    p += len;
    if (mbedtls_asn1_get_mpi(&p, end_field, &domain.p.value) != 0 || p != end_field)
        return false;

    if (mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0)
        return false;
    const unsigned char* const end_curve = p + len;
    if (!read_field_element(&p, end_curve, &domain.a.value) ||
        !read_field_element(&p, end_curve, &domain.b.value))
        return false;
    if (mbedtls_asn1_get_tag(&p, end_curve, &len, MBEDTLS_ASN1_BIT_STRING) == 0)
        p += len;
    if (p != end_curve)
        return false;

    return read_base_point(&p, end, domain) && mbedtls_asn1_get_mpi(&p, end, &domain.n.value) == 0;
}

bool domain_is_curve(const curve_domain& domain, mbedtls_ecp_group_id id)
{
    ec_group ref;
    if (mbedtls_ecp_group_load(&ref.group, id) != 0)
        return false;
    // The library leaves a out of the curves whose a is -3.
    big_number a;
    if (ref.group.A.p == nullptr) {
        if (mbedtls_mpi_sub_int(&a.value, &ref.group.P, 3) != 0)
            return false;
    } else if (mbedtls_mpi_copy(&a.value, &ref.group.A) != 0) {
        return false;
    }
    return mbedtls_mpi_cmp_mpi(&domain.p.value, &ref.group.P) == 0 &&
           mbedtls_mpi_cmp_mpi(&domain.a.value, &a.value) == 0 &&
           mbedtls_mpi_cmp_mpi(&domain.b.value, &ref.group.B) == 0 &&
           mbedtls_mpi_cmp_mpi(&domain.n.value, &ref.group.N) == 0 &&
           mbedtls_mpi_cmp_mpi(&domain.g_x.value, &ref.group.G.X) == 0 &&
           mbedtls_mpi_get_bit(&ref.group.G.Y, 0) == domain.g_y_parity;
}

mbedtls_ecp_group_id listed_curve_of(const curve_domain& domain)
{
    for (mbedtls_ecp_group_id id : LISTED_CURVES)
        if (domain_is_curve(domain, id))
            return id;
    return MBEDTLS_ECP_DP_NONE;
}

// Parses SEQUENCE { SEQUENCE { algorithm, namedCurve }, BIT STRING point }.
int parse_with_named_curve(pk_key& key, const mbedtls_asn1_buf& algorithm,
                           mbedtls_ecp_group_id curve, const unsigned char* point,
                           std::size_t point_len)
{
    const char* curve_oid = nullptr;
    std::size_t curve_oid_len = 0;
    if (mbedtls_oid_get_oid_by_ec_grp(curve, &curve_oid, &curve_oid_len) != 0)
        return MBEDTLS_ERR_PK_UNKNOWN_NAMED_CURVE;

    std::vector<unsigned char> der(point_len + algorithm.len + curve_oid_len + 64);
    unsigned char* const start = der.data();
    unsigned char* c = start + der.size();
    int len = 0;
    int ret = 0;
    if ((ret = mbedtls_asn1_write_bitstring(&c, start, point, point_len * 8)) < 0)
        return ret;
    len += ret;
    if ((ret = mbedtls_asn1_write_oid(&c, start, curve_oid, curve_oid_len)) < 0)
        return ret;
    const int params_len = ret;
    if ((ret = mbedtls_asn1_write_algorithm_identifier(
             &c, start, reinterpret_cast<const char*>(algorithm.p), algorithm.len,
             static_cast<std::size_t>(params_len))) < 0)
        return ret;
    len += ret;
    if ((ret = mbedtls_asn1_write_len(&c, start, static_cast<std::size_t>(len))) < 0)
        return ret;
    if ((ret = mbedtls_asn1_write_tag(&c, start, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE)) < 0)
        return ret;

    mbedtls_pk_free(&key.ctx);
    mbedtls_pk_init(&key.ctx);
    return mbedtls_pk_parse_subpubkey(&c, start + der.size(), &key.ctx);
}

// The library refuses elliptic-curve keys whose parameters spell out the
// curve (explicit domain parameters) even when the curve is one it
// supports. For such a key, find the listed curve the domain describes and
// parse the key again with that curve's name. A well-formed domain that is
// no listed curve is an unsupported feature; anything else keeps the
// library's own code.
int parse_explicit_domain_key(pk_key& key, const std::string& key_text, int library_code)
{
    const auto* text = reinterpret_cast<const unsigned char*>(key_text.c_str());
    std::size_t used = 0;
    {
        // A key text holding an RSA public key block was parsed as that.
        pem_block rsa;
        if (mbedtls_pem_read_buffer(&rsa.pem, "-----BEGIN RSA PUBLIC KEY-----",
                                    "-----END RSA PUBLIC KEY-----", text, nullptr, 0,
                                    &used) != MBEDTLS_ERR_PEM_NO_HEADER_FOOTER_PRESENT)
            return library_code;
    }
    pem_block block;
    if (mbedtls_pem_read_buffer(&block.pem, PEM_BEGIN, PEM_END, text, nullptr, 0, &used) != 0)
        return library_code;

    // Walk the SubjectPublicKeyInfo as the library does, up to the parameters.
    unsigned char* p = block.pem.buf;
    const unsigned char* end = p + block.pem.buflen;
    std::size_t len = 0;
    if (mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0)
        return library_code;
    end = p + len;
    mbedtls_asn1_buf algorithm{};
    mbedtls_asn1_buf params{};
    mbedtls_pk_type_t type = MBEDTLS_PK_NONE;
    if (mbedtls_asn1_get_alg(&p, end, &algorithm, &params) != 0 ||
        mbedtls_oid_get_pk_alg(&algorithm, &type) != 0 ||
        (type != MBEDTLS_PK_ECKEY && type != MBEDTLS_PK_ECKEY_DH) ||
        params.tag != (MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE))
        return library_code;
    if (mbedtls_asn1_get_bitstring_null(&p, end, &len) != 0 || p + len != end)
        return library_code;

    curve_domain domain;
    if (!read_specified_domain(params, domain))
        return library_code;
    const mbedtls_ecp_group_id curve = listed_curve_of(domain);
    if (curve == MBEDTLS_ECP_DP_NONE)
        return MBEDTLS_ERR_ECP_FEATURE_UNAVAILABLE;
    return parse_with_named_curve(key, algorithm, curve, p, len);
}

// Wraps the key field in PEM armour and parses it. Returns 0 or the
// library's (negative) code.
int load_line_key(pk_key& key, const char* key_field, std::string& key_text)
{
    key_text.assign(PEM_BEGIN).append("\r\n").append(key_field).append("\r\n");
    key_text.append(PEM_END).append("\r\n");
    // The library recognises the armour only when the terminating NUL is
    // counted in the length.
    const auto* text = reinterpret_cast<const unsigned char*>(key_text.c_str());
    const int code = mbedtls_pk_parse_public_key(&key.ctx, text, key_text.size() + 1);
    if (code == 0)
        return 0;
    return parse_explicit_domain_key(key, key_text, code);
}

void digest_data_field(const char* data_field, unsigned char* digest)
{
    // SHA-256 is always built in (checked above), so this cannot fail.
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256),
               reinterpret_cast<const unsigned char*>(data_field), std::strlen(data_field), digest);
}

line_outcome verify_line_signature(pk_key& key, const unsigned char* digest,
                                   const char* signature_field, unsigned char* signature_bytes)
{
    // Length first: a signature text too long for the buffer is not decoded.
    if (std::strlen(signature_field) / 2 > SIGNATURE_BUFFER_SIZE)
        return line_outcome::bad_signature;
    const uint32_t count = decode_signature_hex(signature_field, signature_bytes);
    const int code =
        mbedtls_pk_verify(&key.ctx, MBEDTLS_MD_SHA256, digest, 0, signature_bytes, count);
    return code == 0 ? line_outcome::verified : line_outcome::bad_signature;
}

}  // namespace

line_verdict check_line_signature(const char* key_field, const char* data_field,
                                  const char* signature_field)
{
    // Kept per thread so that a long key field is not reallocated per line.
    thread_local std::string key_text;

    pk_key key;
    const int code = load_line_key(key, key_field, key_text);
    if (code != 0)
        return {line_outcome::key_error, code};

    unsigned char digest[SHA256_SIZE];
    digest_data_field(data_field, digest);
    unsigned char signature_bytes[SIGNATURE_BUFFER_SIZE];
    return {verify_line_signature(key, digest, signature_field, signature_bytes), 0};
}
