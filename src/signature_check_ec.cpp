// Elliptic-curve keys beyond what the crypto library does by itself:
// explicit domain parameters of the supported curves, and ECDSA checks that
// keep the multiplication tables of both fixed points.
#include <mbedtls/asn1.h>
#include <mbedtls/asn1write.h>
#include <mbedtls/oid.h>

#include <cstring>
#include <vector>

#include "signature_check_ec.hpp"

namespace signature_check_detail {
namespace {

// The eleven curves whose keys the tool accepts, in the library's order.
constexpr mbedtls_ecp_group_id LISTED_CURVES[] = {
    MBEDTLS_ECP_DP_SECP192R1, MBEDTLS_ECP_DP_SECP224R1, MBEDTLS_ECP_DP_SECP256R1,
    MBEDTLS_ECP_DP_SECP384R1, MBEDTLS_ECP_DP_SECP521R1, MBEDTLS_ECP_DP_SECP192K1,
    MBEDTLS_ECP_DP_SECP224K1, MBEDTLS_ECP_DP_SECP256K1, MBEDTLS_ECP_DP_BP256R1,
    MBEDTLS_ECP_DP_BP384R1,   MBEDTLS_ECP_DP_BP512R1,
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
    if (point[0] == 0x04 && len == 2 * coordinate_size + 1) {
        domain.g_y_parity = point[len - 1] & 1;
    } else if ((point[0] == 0x02 || point[0] == 0x03) && len == coordinate_size + 1) {
        domain.g_y_parity = point[0] & 1;
    } else {
        return false;
    }
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
    if (mbedtls_ecp_group_load(&ref.value, id) != 0)
        return false;
    // The library leaves a out of the curves whose a is -3.
    big_number a;
    if (ref.value.A.p == nullptr) {
        if (mbedtls_mpi_sub_int(&a.value, &ref.value.P, 3) != 0)
            return false;
    } else if (mbedtls_mpi_copy(&a.value, &ref.value.A) != 0) {
        return false;
    }
    return mbedtls_mpi_cmp_mpi(&domain.p.value, &ref.value.P) == 0 &&
           mbedtls_mpi_cmp_mpi(&domain.a.value, &a.value) == 0 &&
           mbedtls_mpi_cmp_mpi(&domain.b.value, &ref.value.B) == 0 &&
           mbedtls_mpi_cmp_mpi(&domain.n.value, &ref.value.N) == 0 &&
           mbedtls_mpi_cmp_mpi(&domain.g_x.value, &ref.value.G.X) == 0 &&
           mbedtls_mpi_get_bit(&ref.value.G.Y, 0) == domain.g_y_parity;
}

mbedtls_ecp_group_id listed_curve_of(const curve_domain& domain)
{
    for (mbedtls_ecp_group_id id : LISTED_CURVES) {
        if (domain_is_curve(domain, id))
            return id;
    }
    return MBEDTLS_ECP_DP_NONE;
}

// Writes SEQUENCE { SEQUENCE { algorithm, namedCurve }, BIT STRING point }
// backwards from *c down to start; returns its length or a negative code.
int write_named_curve_key(unsigned char** c, unsigned char* start, const char* algorithm_oid,
                          std::size_t algorithm_oid_len, mbedtls_ecp_group_id curve,
                          const unsigned char* point, std::size_t point_len)
{
    const char* curve_oid = nullptr;
    std::size_t curve_oid_len = 0;
    if (mbedtls_oid_get_oid_by_ec_grp(curve, &curve_oid, &curve_oid_len) != 0)
        return MBEDTLS_ERR_PK_UNKNOWN_NAMED_CURVE;
    int len = 0;
    int ret = 0;
    if ((ret = mbedtls_asn1_write_bitstring(c, start, point, point_len * 8)) < 0)
        return ret;
    len += ret;
    if ((ret = mbedtls_asn1_write_oid(c, start, curve_oid, curve_oid_len)) < 0)
        return ret;
    const int params_len = ret;
    if ((ret = mbedtls_asn1_write_algorithm_identifier(c, start, algorithm_oid, algorithm_oid_len,
                                                       static_cast<std::size_t>(params_len))) < 0)
        return ret;
    len += ret;
    if ((ret = mbedtls_asn1_write_len(c, start, static_cast<std::size_t>(len))) < 0)
        return ret;
    len += ret;
    if ((ret = mbedtls_asn1_write_tag(c, start, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE)) <
        0)
        return ret;
    return len + ret;
}

// Parses the key again with its curve named.
int parse_with_named_curve(pk_key& key, const mbedtls_asn1_buf& algorithm,
                           mbedtls_ecp_group_id curve, const unsigned char* point,
                           std::size_t point_len)
{
    std::vector<unsigned char> der(point_len + algorithm.len + 96);
    unsigned char* const start = der.data();
    unsigned char* c = start + der.size();
    const int ret = write_named_curve_key(&c, start, reinterpret_cast<const char*>(algorithm.p),
                                          algorithm.len, curve, point, point_len);
    if (ret < 0)
        return ret;
    mbedtls_pk_free(&key.value);
    mbedtls_pk_init(&key.value);
    return mbedtls_pk_parse_subpubkey(&c, start + der.size(), &key.value);
}

}  // namespace

// The library refuses elliptic-curve keys whose parameters spell out the
// curve (explicit domain parameters) even when the curve is one it
// supports. For such a key, find the listed curve the domain describes and
// parse the key again with that curve's name. A well-formed domain that is
// no listed curve is an unsupported feature; anything else keeps the
// library's own code.
int parse_explicit_domain_key(pk_key& key, const unsigned char* text, int library_code)
{
    std::size_t used = 0;
    {
        // A key text holding an RSA public key block was parsed as that.
        pem_block rsa;
        if (mbedtls_pem_read_buffer(&rsa.value, "-----BEGIN RSA PUBLIC KEY-----",
                                    "-----END RSA PUBLIC KEY-----", text, nullptr, 0,
                                    &used) != MBEDTLS_ERR_PEM_NO_HEADER_FOOTER_PRESENT)
            return library_code;
    }
    pem_block block;
    if (mbedtls_pem_read_buffer(&block.value, PEM_PUBLIC_KEY_BEGIN, PEM_PUBLIC_KEY_END, text,
                                nullptr, 0, &used) != 0)
        return library_code;

    // Walk the SubjectPublicKeyInfo as the library does, up to the parameters.
    unsigned char* p = block.value.buf;
    const unsigned char* end = p + block.value.buflen;
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

int write_ecdh_key_der(const mbedtls_ecp_keypair& pair, unsigned char* der, std::size_t size)
{
    unsigned char point[MBEDTLS_ECP_MAX_PT_LEN];
    std::size_t point_len = 0;
    const int ret = mbedtls_ecp_point_write_binary(&pair.grp, &pair.Q, MBEDTLS_ECP_PF_UNCOMPRESSED,
                                                   &point_len, point, sizeof point);
    if (ret != 0)
        return ret;
    unsigned char* c = der + size;
    return write_named_curve_key(&c, der, MBEDTLS_OID_EC_ALG_ECDH,
                                 MBEDTLS_OID_SIZE(MBEDTLS_OID_EC_ALG_ECDH), pair.grp.id, point,
                                 point_len);
}

namespace {

// The digest as a number, as the library derives it: cut to the bit length
// of the order, then reduced once.
bool derive_digest_number(const mbedtls_ecp_group& curve, const unsigned char* hash,
                          std::size_t hash_len, mbedtls_mpi* e)
{
    const std::size_t order_size = (curve.nbits + 7) / 8;
    const std::size_t used = hash_len > order_size ? order_size : hash_len;
    if (mbedtls_mpi_read_binary(e, hash, used) != 0)
        return false;
    if (used * 8 > curve.nbits && mbedtls_mpi_shift_r(e, used * 8 - curve.nbits) != 0)
        return false;
    return mbedtls_mpi_cmp_mpi(e, &curve.N) < 0 || mbedtls_mpi_sub_mpi(e, e, &curve.N) == 0;
}

bool in_signature_range(const mbedtls_mpi& value, const mbedtls_mpi& order)
{
    return mbedtls_mpi_cmp_int(&value, 1) >= 0 && mbedtls_mpi_cmp_mpi(&value, &order) < 0;
}

}  // namespace

int verify_with_point_tables(mbedtls_ecp_group& curve, mbedtls_ecp_group& key_points,
                             const unsigned char* hash, std::size_t hash_len,
                             const unsigned char* signature, std::size_t signature_len)
{
    // SEQUENCE { INTEGER r, INTEGER s } and nothing after it, read with the
    // library's own rules (it accepts some non-minimal encodings).
    auto* p = const_cast<unsigned char*>(signature);
    const unsigned char* const end = signature + signature_len;
    std::size_t len = 0;
    big_number r;
    big_number s;
    if (mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) !=
            0 ||
        p + len != end || mbedtls_asn1_get_mpi(&p, end, &r.value) != 0 ||
        mbedtls_asn1_get_mpi(&p, end, &s.value) != 0 || p != end)
        return MBEDTLS_ERR_ECP_VERIFY_FAILED;
    if (!in_signature_range(r.value, curve.N) || !in_signature_range(s.value, curve.N))
        return MBEDTLS_ERR_ECP_VERIFY_FAILED;

    // u1 = e / s and u2 = r / s, modulo the order.
    big_number e;
    big_number s_inverse;
    big_number u1;
    big_number u2;
    if (!derive_digest_number(curve, hash, hash_len, &e.value) ||
        mbedtls_mpi_inv_mod(&s_inverse.value, &s.value, &curve.N) != 0 ||
        mbedtls_mpi_mul_mpi(&u1.value, &e.value, &s_inverse.value) != 0 ||
        mbedtls_mpi_mod_mpi(&u1.value, &u1.value, &curve.N) != 0 ||
        mbedtls_mpi_mul_mpi(&u2.value, &r.value, &s_inverse.value) != 0 ||
        mbedtls_mpi_mod_mpi(&u2.value, &u2.value, &curve.N) != 0)
        return UNDECIDED;
    // The multiplications below need a scalar from 1 up; u2 is one already.
    if (mbedtls_mpi_cmp_int(&u1.value, 0) == 0)
        return UNDECIDED;

    // R = u1 G + u2 Q, each product from its point's kept table.
    ec_point u1_g;
    ec_point u2_q;
    ec_point sum;
    big_number one;
    if (mbedtls_ecp_mul(&curve, &u1_g.value, &u1.value, &curve.G, nullptr, nullptr) != 0 ||
        mbedtls_ecp_mul(&key_points, &u2_q.value, &u2.value, &key_points.G, nullptr, nullptr) !=
            0 ||
        mbedtls_mpi_lset(&one.value, 1) != 0 ||
        mbedtls_ecp_muladd(&curve, &sum.value, &one.value, &u1_g.value, &one.value, &u2_q.value) !=
            0)
        return UNDECIDED;
    if (mbedtls_ecp_is_zero(&sum.value) != 0)
        return MBEDTLS_ERR_ECP_VERIFY_FAILED;
    if (mbedtls_mpi_mod_mpi(&sum.value.X, &sum.value.X, &curve.N) != 0)
        return UNDECIDED;
    return mbedtls_mpi_cmp_mpi(&sum.value.X, &r.value) == 0 ? 0 : MBEDTLS_ERR_ECP_VERIFY_FAILED;
}

}  // namespace signature_check_detail
