#include "signature_check.hpp"

#include <mbedtls/md.h>
#include <mbedtls/version.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "line_format.hpp"
#include "signature_check_internal.hpp"
#include "signature_check_key_store.hpp"

// The tool accepts exactly what a library built with these options accepts;
// a library configured otherwise must fail the build, not verify differently.
#if MBEDTLS_VERSION_MAJOR != 2
#error "the signature check is written against the 2.x interface of the crypto library"
#endif
#if !defined(MBEDTLS_PK_PARSE_C) || !defined(MBEDTLS_PEM_PARSE_C) || !defined(MBEDTLS_BASE64_C) || \
    !defined(MBEDTLS_RSA_C) || !defined(MBEDTLS_PKCS1_V15) || !defined(MBEDTLS_ECDSA_C) ||         \
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
#if !defined(MBEDTLS_THREADING_C)
#error "the crypto library must be built thread-safe: lines are checked on several threads"
#endif

namespace signature_check_detail {

const char PEM_BEGIN[] = "-----BEGIN PUBLIC KEY-----";
const char PEM_END[] = "-----END PUBLIC KEY-----";

}  // namespace signature_check_detail

using namespace signature_check_detail;

namespace {

constexpr std::size_t SHA256_SIZE = 32;

// What each worker thread keeps: the keys of a fleet of a few thousand
// devices, bounded in bytes too, so that a run holds little however many
// keys its log brings (a P-256 key with its point table takes 2.7 KiB, so
// 3,000 of them fill the bytes). A build may ask for fewer keys, so that
// tests see whole runs evict keys all the time. Key fields longer than any
// usual key are parsed every time rather than kept.
#ifndef ORVEL_THREAD_KEY_STORE_KEYS
#define ORVEL_THREAD_KEY_STORE_KEYS 4096
#endif
constexpr key_store_limits THREAD_KEY_STORE = {ORVEL_THREAD_KEY_STORE_KEYS,
                                               std::size_t{8} * 1024 * 1024};
constexpr std::size_t MAX_KEPT_KEY_FIELD = std::size_t{8} * 1024;

// Wraps the key field in PEM armour and parses it. Returns 0 or the
// library's (negative) code.
int parse_key_text(pk_key& key, const char* key_text, std::size_t length)
{
    // The library recognises the armour only when the terminating NUL is
    // counted in the length.
    const auto* text = reinterpret_cast<const unsigned char*>(key_text);
    const int code = mbedtls_pk_parse_public_key(&key.value, text, length + 1);
    if (code == 0)
        return 0;
    return parse_explicit_domain_key(key, text, code);
}

int load_line_key(pk_key& key, const char* key_field, std::string& key_text)
{
    key_text.assign(KEY_ARMOUR_BEGIN).append(key_field).append(KEY_ARMOUR_END);
    return parse_key_text(key, key_text.c_str(), key_text.size());
}

// The same, with the armour written around the key field where it stands.
int load_line_key_in_place(pk_key& key, char* key_field)
{
    const std::size_t field_length = std::strlen(key_field);
    char* const key_text = key_field - KEY_ARMOUR_ROOM_BEFORE;
    std::memcpy(key_text, KEY_ARMOUR_BEGIN, KEY_ARMOUR_ROOM_BEFORE);
    std::memcpy(key_field + field_length, KEY_ARMOUR_END, KEY_ARMOUR_ROOM_AFTER);
    return parse_key_text(key, key_text,
                          KEY_ARMOUR_ROOM_BEFORE + field_length + KEY_ARMOUR_ROOM_AFTER - 1);
}

void digest_data_field(const char* data_field, unsigned char* digest)
{
    // SHA-256 is always built in (checked above), so this cannot fail.
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256),
               reinterpret_cast<const unsigned char*>(data_field), std::strlen(data_field), digest);
}

// The library's own check of a signature over a SHA-256 digest; the kept
// ways below must give its verdict.
int verify_plainly(pk_key& key, const unsigned char* digest, const unsigned char* signature,
                   std::size_t count)
{
    return mbedtls_pk_verify(&key.value, MBEDTLS_MD_SHA256, digest, 0, signature, count);
}

// A slot for every group id the library names. Its MBEDTLS_ECP_DP_MAX
// counts curves, not ids, and is secp256k1's id: sized by it, secp256k1
// keys would never get a kept group or point table.
constexpr std::size_t CURVE_IDS = MBEDTLS_ECP_DP_CURVE448 + 1;

// One curve's group, loaded once, with the base point's table that the
// library builds on first use.
struct curve_context {
    ecdsa_key verifier;
};

// What one thread keeps from line to line.
struct thread_cache {
    std::string key_text;
    key_store keys{THREAD_KEY_STORE};
    std::array<std::unique_ptr<curve_context>, CURVE_IDS> curves;
};

thread_cache& this_thread_cache()
{
    thread_local thread_cache cache;
    return cache;
}

std::unique_ptr<kept_key> parse_key(thread_cache& cache, const char* key_field)
{
    auto key = std::make_unique<kept_key>();
    key->code = load_line_key(key->key, key_field, cache.key_text);
    return key;
}

curve_context* curve_of(thread_cache& cache, mbedtls_ecp_group_id id)
{
    if (id <= MBEDTLS_ECP_DP_NONE || static_cast<std::size_t>(id) >= CURVE_IDS)
        return nullptr;
    std::unique_ptr<curve_context>& curve = cache.curves[id];
    if (!curve) {
        auto loaded = std::make_unique<curve_context>();
        if (mbedtls_ecp_group_load(&loaded->verifier.value.grp, id) != 0)
            return nullptr;
        curve = std::move(loaded);
    }
    return curve.get();
}

// The key's curve with the key's point as its base point. The library's
// loaded groups point at its read-only constants, so the table group gets
// copies of its own rather than a loaded group with G overwritten.
std::unique_ptr<ec_group> make_point_table(const mbedtls_ecp_group& curve,
                                           const mbedtls_ecp_point& point)
{
    auto table = std::make_unique<ec_group>();
    mbedtls_ecp_group& group = table->value;
    if (mbedtls_mpi_copy(&group.P, &curve.P) != 0 || mbedtls_mpi_copy(&group.A, &curve.A) != 0 ||
        mbedtls_mpi_copy(&group.B, &curve.B) != 0 || mbedtls_mpi_copy(&group.N, &curve.N) != 0 ||
        mbedtls_ecp_copy(&group.G, &point) != 0)
        return nullptr;
    group.id = curve.id;
    group.pbits = curve.pbits;
    group.nbits = curve.nbits;
    group.modp = curve.modp;  // the curve's fast reduction, where it has one
    return table;
}

// ECDSA with the thread's long-lived group of the key's curve, and the
// key's own point table when it is kept. Building that table costs what
// the library's check of a single signature spends on its own throw-away
// table of the key's point, so a kept key has it from its first line on.
// Both give the verdict of mbedtls_pk_verify.
int verify_ecdsa(thread_cache& cache, kept_key& key, bool use_point_tables,
                 const unsigned char* digest, const unsigned char* signature, std::size_t count)
{
    const mbedtls_ecp_keypair& pair = *mbedtls_pk_ec(key.key.value);
    curve_context* const curve = curve_of(cache, pair.grp.id);
    if (curve == nullptr)
        return verify_plainly(key.key, digest, signature, count);
    mbedtls_ecdsa_context& verifier = curve->verifier.value;

    if (use_point_tables) {
        if (!key.point_table)
            key.point_table = make_point_table(verifier.grp, pair.Q);
        if (key.point_table) {
            const int code = verify_with_point_tables(verifier.grp, key.point_table->value, digest,
                                                      SHA256_SIZE, signature, count);
            if (code != UNDECIDED)
                return code;
        }
    }
    if (mbedtls_ecp_copy(&verifier.Q, &pair.Q) != 0)
        return verify_plainly(key.key, digest, signature, count);
    return mbedtls_ecdsa_read_signature(&verifier, digest, SHA256_SIZE, signature, count);
}

int verify_signature(thread_cache& cache, kept_key& key, check_method method,
                     const unsigned char* digest, const unsigned char* signature, std::size_t count)
{
    // id-ecDH keys never verify; mbedtls_pk_verify says so.
    if (method != check_method::plain && mbedtls_pk_get_type(&key.key.value) == MBEDTLS_PK_ECKEY) {
        const bool use_point_tables = method == check_method::kept_tables;
        return verify_ecdsa(cache, key, use_point_tables, digest, signature, count);
    }
    return verify_plainly(key.key, digest, signature, count);
}

// The rest of a line's check, once its key is parsed.
line_verdict check_with_key(thread_cache& cache, kept_key& key, check_method method,
                            const char* data_field, const char* signature_field)
{
    if (key.code != 0)
        return {line_outcome::key_error, key.code};

    unsigned char digest[SHA256_SIZE];
    digest_data_field(data_field, digest);

    // Length first: a signature text too long for the buffer is not decoded.
    if (std::strlen(signature_field) / 2 > SIGNATURE_BUFFER_SIZE)
        return {line_outcome::bad_signature, 0};
    unsigned char signature[SIGNATURE_BUFFER_SIZE];
    const uint32_t count = decode_signature_hex(signature_field, signature);
    const int code = verify_signature(cache, key, method, digest, signature, count);
    return {code == 0 ? line_outcome::verified : line_outcome::bad_signature, 0};
}

// The check with the keys kept in store. A kept key is used as it is; a
// key not kept yet is parsed, checked, and then kept at what it holds by
// then (the library's own tables included).
line_verdict check_with_store(thread_cache& cache, key_store& store, check_method method,
                              const char* key_field, const char* data_field,
                              const char* signature_field)
{
    const std::string_view field(key_field);
    if (field.size() > MAX_KEPT_KEY_FIELD) {
        // Not kept, so a table of the key's point would be thrown away.
        const std::unique_ptr<kept_key> key = parse_key(cache, key_field);
        return check_with_key(cache, *key, check_method::kept_keys, data_field, signature_field);
    }
    if (kept_key* const key = store.find(field)) {
        const bool had_table = key->point_table != nullptr;
        const line_verdict verdict =
            check_with_key(cache, *key, method, data_field, signature_field);
        if (!had_table && key->point_table) {
            ++store.counts.tables;
            store.recharge(field, kept_bytes(*key));
        }
        return verdict;
    }
    std::unique_ptr<kept_key> key = parse_key(cache, key_field);
    ++store.counts.parsed;
    const line_verdict verdict = check_with_key(cache, *key, method, data_field, signature_field);
    if (key->point_table)
        ++store.counts.tables;
    const std::size_t bytes = kept_bytes(*key);
    store.keep(field, std::move(key), bytes);
    return verdict;
}

}  // namespace

line_verdict check_line_signature_in(key_store& store, check_method method, const char* key_field,
                                     const char* data_field, const char* signature_field)
{
    return check_with_store(this_thread_cache(), store, method, key_field, data_field,
                            signature_field);
}

line_verdict check_line_signature_by(check_method method, const char* key_field,
                                     const char* data_field, const char* signature_field)
{
    thread_cache& cache = this_thread_cache();
    if (method == check_method::plain) {
        const std::unique_ptr<kept_key> key = parse_key(cache, key_field);
        return check_with_key(cache, *key, method, data_field, signature_field);
    }
    return check_with_store(cache, cache.keys, method, key_field, data_field, signature_field);
}

line_verdict check_line_signature_in_place(char* key_field, const char* data_field,
                                           const char* signature_field)
{
    kept_key key;
    key.code = load_line_key_in_place(key.key, key_field);
    return check_with_key(this_thread_cache(), key, check_method::plain, data_field,
                          signature_field);
}

line_verdict check_line_signature(const char* key_field, const char* data_field,
                                  const char* signature_field)
{
    return check_line_signature_by(check_method::kept_tables, key_field, data_field,
                                   signature_field);
}
