#include "signature_check.hpp"

#include <mbedtls/asn1.h>
#include <mbedtls/base64.h>
#include <mbedtls/ecp.h>
#include <mbedtls/md.h>
#include <mbedtls/version.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "line_format.hpp"
#include "signature_check_ec.hpp"
#include "signature_check_key_store.hpp"

// The tool accepts exactly what a library built with these options accepts;
// a library configured otherwise must fail the build, not verify differently.
#if MBEDTLS_VERSION_MAJOR != 2
#error "the signature check is written against the 2.x interface of the crypto library"
#endif
#if !defined(MBEDTLS_PK_PARSE_C) || !defined(MBEDTLS_PEM_PARSE_C) || !defined(MBEDTLS_BASE64_C) || \
    !defined(MBEDTLS_RSA_C) || !defined(MBEDTLS_PKCS1_V15) || !defined(MBEDTLS_ECDSA_C) ||         \
    !defined(MBEDTLS_SHA256_C) || !defined(MBEDTLS_ASN1_WRITE_C) || !defined(MBEDTLS_OID_C) ||     \
    !defined(MBEDTLS_PK_WRITE_C)
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

using namespace signature_check_detail;

namespace {

constexpr std::size_t SHA256_SIZE = 32;

// Key fields longer than any usual key are parsed every time rather than
// kept.
constexpr std::size_t MAX_KEPT_KEY_FIELD = std::size_t{8} * 1024;

// Room for any key the library writes back: an RSA key of 8,192 bits with
// an exponent as long as its modulus takes about 2,100 bytes of DER.
constexpr std::size_t KEY_DER_BUFFER_SIZE = 4096;

// Parses the key field of line. Returns 0 or the library's (negative) code.
int parse_line_key(pk_key& key, line_to_check& line)
{
    std::size_t length = 0;
    const char* const key_text = line.armour_key(&length);
    // The library recognises the armour only when the terminating NUL is
    // counted in the length.
    const auto* text = reinterpret_cast<const unsigned char*>(key_text);
    const int code = mbedtls_pk_parse_public_key(&key.value, text, length + 1);
    if (code == 0)
        return 0;
    return parse_explicit_domain_key(key, text, code);
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

// The key's DER SubjectPublicKeyInfo as the library writes it back, at the
// end of der; returns its length, or a negative code.
int write_key_der(const pk_key& key, unsigned char* der, std::size_t size)
{
    // The library writes id-ecDH keys with the algorithm of id-ecPublicKey;
    // such a key keeps its own algorithm.
    if (mbedtls_pk_get_type(&key.value) == MBEDTLS_PK_ECKEY_DH)
        return write_ecdh_key_der(*mbedtls_pk_ec(key.value), der, size);
    return mbedtls_pk_write_pubkey_der(const_cast<mbedtls_pk_context*>(&key.value), der, size);
}

void describe_key(const pk_key& key, std::array<char, 24>& type)
{
    const mbedtls_pk_type_t kind = mbedtls_pk_get_type(&key.value);
    if (kind == MBEDTLS_PK_RSA) {
        (void)std::snprintf(type.data(), type.size(), "RSA-%zu", mbedtls_pk_get_bitlen(&key.value));
        return;
    }
    const mbedtls_ecp_curve_info* const curve =
        mbedtls_ecp_curve_info_from_grp_id(mbedtls_pk_ec(key.value)->grp.id);
    (void)std::snprintf(type.data(), type.size(), "%s %s",
                        kind == MBEDTLS_PK_ECKEY_DH ? "ECDH" : "EC",
                        curve != nullptr ? curve->name : "?");
}

// The identity of a parsed key; a negative code when the library cannot
// write it back.
int identify(const pk_key& key, key_identity& identity)
{
    std::array<unsigned char, KEY_DER_BUFFER_SIZE> der{};
    const int length = write_key_der(key, der.data(), der.size());
    if (length < 0)
        return length;
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256),
               der.data() + der.size() - static_cast<std::size_t>(length),
               static_cast<std::size_t>(length), identity.sha256.data());
    describe_key(key, identity.type);
    return 0;
}

// A slot for every group id the library names. Its MBEDTLS_ECP_DP_MAX
// counts curves, not ids, and is secp256k1's id: sized by it, secp256k1
// keys would never get a kept group or point table.
constexpr std::size_t CURVE_IDS = MBEDTLS_ECP_DP_CURVE448 + 1;

static_assert(CURVE_IDS <= std::tuple_size_v<decltype(check_state::curves)>);

}  // namespace

namespace signature_check_detail {

// One curve's group, loaded once, with the base point's table that the
// library builds on first use.
struct curve_context {
    ecdsa_key verifier;
};

}  // namespace signature_check_detail

check_state::check_state(key_store_limits limits) : keys(limits) {}

check_state::~check_state() = default;

namespace {

std::unique_ptr<kept_key> parse_key(line_to_check& line)
{
    auto key = std::make_unique<kept_key>();
    key->code = parse_line_key(key->key, line);
    return key;
}

curve_context* curve_of(check_state& state, mbedtls_ecp_group_id id)
{
    if (id <= MBEDTLS_ECP_DP_NONE || static_cast<std::size_t>(id) >= CURVE_IDS)
        return nullptr;
    std::unique_ptr<curve_context>& curve = state.curves[id];
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

// ECDSA with the state's long-lived group of the key's curve, and the
// key's own point table when it is kept. Building that table costs what
// the library's check of a single signature spends on its own throw-away
// table of the key's point, so a kept key has it from its first line on.
// Both give the verdict of mbedtls_pk_verify.
int verify_ecdsa(check_state& state, kept_key& key, bool use_point_tables,
                 const unsigned char* digest, const unsigned char* signature, std::size_t count)
{
    const mbedtls_ecp_keypair& pair = *mbedtls_pk_ec(key.key.value);
    curve_context* const curve = curve_of(state, pair.grp.id);
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

int verify_signature(check_state& state, kept_key& key, check_method method,
                     const unsigned char* digest, const unsigned char* signature, std::size_t count)
{
    // id-ecDH keys never verify; mbedtls_pk_verify says so.
    if (method != check_method::plain && mbedtls_pk_get_type(&key.key.value) == MBEDTLS_PK_ECKEY) {
        const bool use_point_tables = method == check_method::kept_tables;
        return verify_ecdsa(state, key, use_point_tables, digest, signature, count);
    }
    return verify_plainly(key.key, digest, signature, count);
}

line_verdict out_of_memory(int code) { return {check_verdict::out_of_memory, code, {}}; }

// A DER length at p, in its shortest form.
bool read_der_length(const unsigned char*& p, const unsigned char* end, std::size_t& length)
{
    if (p == end)
        return false;
    const unsigned char first = *p++;
    if (first < 0x80) {
        length = first;
        return true;
    }
    const std::size_t digits = first & 0x7FU;
    if (digits == 0 || digits > 2 || static_cast<std::size_t>(end - p) < digits || *p == 0)
        return false;
    length = 0;
    for (std::size_t i = 0; i < digits; ++i)
        length = length << 8 | *p++;
    return length >= 0x80;
}

// A positive DER INTEGER at p, without a leading zero byte it does not
// need.
bool read_der_positive_integer(const unsigned char*& p, const unsigned char* end)
{
    std::size_t length = 0;
    if (p == end || *p++ != MBEDTLS_ASN1_INTEGER || !read_der_length(p, end, length) ||
        length == 0 || static_cast<std::size_t>(end - p) < length)
        return false;
    const bool negative = (p[0] & 0x80U) != 0;
    const bool needless_zero = length > 1 && p[0] == 0 && (p[1] & 0x80U) == 0;
    p += length;
    return !negative && !needless_zero;
}

// Whether the key field of line is the base64 of its key's DER and nothing
// else: canonical base64, no bytes after the SubjectPublicKeyInfo, and,
// where the library writes the key back as it was given (every key but one
// with explicit curve parameters, which the tool takes on purpose), those
// very bytes.
bool is_exact_key_field(const pk_key& key, const line_to_check& line)
{
    const auto* const field = reinterpret_cast<const unsigned char*>(line.key());
    const std::size_t field_length = line.key_length();
    std::size_t size = 0;
    (void)mbedtls_base64_decode(nullptr, 0, &size, field, field_length);
    std::vector<unsigned char> der(size);
    if (mbedtls_base64_decode(der.data(), der.size(), &size, field, field_length) != 0)
        return false;
    der.resize(size);
    std::size_t encoded_size = 0;
    (void)mbedtls_base64_encode(nullptr, 0, &encoded_size, der.data(), der.size());
    std::string encoded(encoded_size, '\0');
    if (mbedtls_base64_encode(reinterpret_cast<unsigned char*>(encoded.data()), encoded.size(),
                              &encoded_size, der.data(), der.size()) != 0 ||
        std::string_view(encoded.data(), encoded_size) !=
            std::string_view(line.key(), field_length))
        return false;

    unsigned char* p = der.data();
    const unsigned char* const end = der.data() + der.size();
    std::size_t length = 0;
    if (mbedtls_asn1_get_tag(&p, end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) !=
            0 ||
        p + length != end)
        return false;
    std::array<unsigned char, KEY_DER_BUFFER_SIZE> written{};
    const int written_length = write_key_der(key, written.data(), written.size());
    if (written_length < 0)
        return false;
    const std::string_view rewritten(reinterpret_cast<const char*>(written.data() + written.size() -
                                                                   written_length),
                                     static_cast<std::size_t>(written_length));
    if (rewritten == std::string_view(reinterpret_cast<const char*>(der.data()), der.size()))
        return true;
    // A key with explicit curve parameters comes back with its named curve.
    unsigned char* algorithm = p;
    if (mbedtls_asn1_get_tag(&algorithm, end, &length,
                             MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) != 0)
        return false;
    const unsigned char* const algorithm_end = algorithm + length;
    if (mbedtls_asn1_get_tag(&algorithm, algorithm_end, &length, MBEDTLS_ASN1_OID) != 0)
        return false;
    algorithm += length;
    return algorithm < algorithm_end &&
           *algorithm == (MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE);
}

// The encoding rules of strict_encoding, for a line whose signature
// verified.
check_verdict encoding_verdict(kept_key& key, const line_to_check& line,
                               const unsigned char* signature, std::size_t count)
{
    if (!key.exact_encoding)
        key.exact_encoding = is_exact_key_field(key.key, line);
    if (!*key.exact_encoding)
        return check_verdict::key_encoding;
    if (mbedtls_pk_get_type(&key.key.value) == MBEDTLS_PK_ECKEY &&
        !is_der_ecdsa_signature(signature, count))
        return check_verdict::signature_encoding;
    return check_verdict::verified;
}

// The rest of a line's check, once its key is parsed.
line_verdict check_with_key(check_state& state, kept_key& key, check_method method,
                            const line_to_check& line, const check_settings& settings)
{
    if (is_allocation_failure(key.code))
        return out_of_memory(key.code);
    if (key.code != 0)
        return {check_verdict::key_error, key.code, {}};

    line_verdict verdict{check_verdict::verified, 0, {}};
    if (settings.identify_keys || settings.trusted != nullptr) {
        if (!key.identity) {
            key_identity identity;
            const int code = identify(key.key, identity);
            if (is_allocation_failure(code))
                return out_of_memory(code);
            if (code != 0)
                return {check_verdict::key_error, code, {}};
            key.identity = identity;
        }
        verdict.key = *key.identity;
        if (settings.trusted != nullptr &&
            !std::binary_search(settings.trusted->begin(), settings.trusted->end(),
                                verdict.key.sha256)) {
            verdict.kind = check_verdict::untrusted_key;
            return verdict;
        }
    }

    unsigned char digest[SHA256_SIZE];
    digest_data_field(line.data(), digest);

    // Length first: a signature text too long for the buffer is not decoded.
    if (std::strlen(line.signature()) / 2 > SIGNATURE_BUFFER_SIZE) {
        verdict.kind = check_verdict::bad_signature;
        return verdict;
    }
    unsigned char signature[SIGNATURE_BUFFER_SIZE];
    const uint32_t count = decode_signature_hex(line.signature(), signature);
    const int code = verify_signature(state, key, method, digest, signature, count);
    if (is_allocation_failure(code))
        return out_of_memory(code);
    verdict.kind = code == 0 ? check_verdict::verified : check_verdict::bad_signature;
    if (verdict.kind == check_verdict::verified && settings.strict_encoding)
        verdict.kind = encoding_verdict(key, line, signature, count);
    return verdict;
}

// The check with the keys that state keeps. A kept key is used as it is; a
// key not kept yet is parsed, checked, and then kept at what it holds by
// then (the library's own tables included). A key field too long to keep,
// and a key whose parse ran out of memory, are not kept.
line_verdict check_with_store(check_state& state, check_method method, line_to_check& line,
                              const check_settings& settings)
{
    const std::string_view field(line.key(), line.key_length());
    if (field.size() > MAX_KEPT_KEY_FIELD) {
        // Not kept, so a table of the key's point would be thrown away.
        const std::unique_ptr<kept_key> key = parse_key(line);
        return check_with_key(state, *key, check_method::kept_keys, line, settings);
    }
    if (kept_key* const key = state.keys.find(field)) {
        const bool had_table = key->point_table != nullptr;
        const line_verdict verdict = check_with_key(state, *key, method, line, settings);
        if (!had_table && key->point_table) {
            ++state.keys.counts.tables;
            state.keys.recharge(field, kept_bytes(*key));
        }
        return verdict;
    }
    std::unique_ptr<kept_key> key = parse_key(line);
    ++state.keys.counts.parsed;
    const line_verdict verdict = check_with_key(state, *key, method, line, settings);
    if (is_allocation_failure(key->code))
        return verdict;
    if (key->point_table)
        ++state.keys.counts.tables;
    const std::size_t bytes = kept_bytes(*key);
    state.keys.keep(field, std::move(key), bytes);
    return verdict;
}

line_verdict check_line(check_state& state, check_method method, line_to_check& line,
                        const check_settings& settings)
{
    if (method == check_method::plain) {
        const std::unique_ptr<kept_key> key = parse_key(line);
        return check_with_key(state, *key, method, line, settings);
    }
    return check_with_store(state, method, line, settings);
}

// Moves the field [from, from + size) to to; the fields are moved in an
// order that never overwrites one not moved yet (see in_place).
struct field_move {
    const char* from;
    char* to;
    std::size_t size;
};

}  // namespace

line_to_check line_to_check::copied(const line_fields& fields, std::string& storage)
{
    const std::size_t key_length = std::strlen(fields.key);
    const std::size_t data_length = std::strlen(fields.data);
    const std::size_t signature_length = std::strlen(fields.signature);
    storage.assign(KEY_ARMOUR_ROOM_BEFORE, '\0');
    storage.append(fields.key, key_length);
    storage.append(KEY_ARMOUR_ROOM_AFTER, '\0');
    storage.append(fields.data, data_length + 1);
    storage.append(fields.signature, signature_length + 1);
    char* const key = storage.data() + KEY_ARMOUR_ROOM_BEFORE;
    char* const data = key + key_length + KEY_ARMOUR_ROOM_AFTER;
    return {key, key_length, data, data + data_length + 1};
}

std::optional<line_to_check> line_to_check::in_place(const line_fields& fields, char* begin,
                                                     const char* end)
{
    const std::size_t key_length = std::strlen(fields.key);
    const std::size_t data_length = std::strlen(fields.data);
    const std::size_t signature_length = std::strlen(fields.signature);
    const std::size_t needed = KEY_ARMOUR_ROOM_BEFORE + key_length + KEY_ARMOUR_ROOM_AFTER +
                               data_length + 1 + signature_length + 1;
    if (static_cast<std::size_t>(end - begin) < needed)
        return std::nullopt;

    char* const key = begin + KEY_ARMOUR_ROOM_BEFORE;
    char* const data = key + key_length + KEY_ARMOUR_ROOM_AFTER;
    char* const signature = data + data_length + 1;
    // The fields lie in this order in the buffer and keep it. Those that
    // move towards the end are moved last field first, then those that move
    // towards the start first field first: each then lands only on bytes
    // already moved away or on its own old place.
    const std::array<field_move, 3> moves = {
        field_move{fields.key, key, key_length + 1},
        field_move{fields.data, data, data_length + 1},
        field_move{fields.signature, signature, signature_length + 1},
    };
    for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
        if (move->to > move->from)
            std::memmove(move->to, move->from, move->size);
    }
    for (const field_move& move : moves) {
        if (move.to < move.from)
            std::memmove(move.to, move.from, move.size);
    }
    return line_to_check(key, key_length, data, signature);
}

const char* line_to_check::armour_key(std::size_t* length)
{
    char* const text = key_ - KEY_ARMOUR_ROOM_BEFORE;
    std::memcpy(text, KEY_ARMOUR_BEGIN, KEY_ARMOUR_ROOM_BEFORE);
    std::memcpy(key_ + key_length_, KEY_ARMOUR_END, KEY_ARMOUR_ROOM_AFTER);
    *length = KEY_ARMOUR_ROOM_BEFORE + key_length_ + KEY_ARMOUR_ROOM_AFTER - 1;
    return text;
}

line_verdict check_line_signature_by(check_state& state, check_method method, line_to_check& line,
                                     const check_settings& settings)
{
    try {
        return check_line(state, method, line, settings);
    } catch (const std::bad_alloc&) {
        return out_of_memory(0);
    }
}

line_verdict check_line_signature(check_state& state, line_to_check& line,
                                  const check_settings& settings)
{
    return check_line_signature_by(state, check_method::kept_tables, line, settings);
}

line_verdict check_line_signature_by(check_state& state, check_method method, const char* key_field,
                                     const char* data_field, const char* signature_field)
{
    try {
        std::string storage;
        line_fields fields{const_cast<char*>(key_field), const_cast<char*>(data_field),
                           const_cast<char*>(signature_field)};
        line_to_check line = line_to_check::copied(fields, storage);
        return check_line(state, method, line, {});
    } catch (const std::bad_alloc&) {
        return out_of_memory(0);
    }
}

line_verdict check_line_signature(check_state& state, const char* key_field, const char* data_field,
                                  const char* signature_field)
{
    return check_line_signature_by(state, check_method::kept_tables, key_field, data_field,
                                   signature_field);
}

namespace {

// Parses a key field alone as a line's key is parsed.
int parse_key_field(const std::string& key_field, pk_key& key)
{
    std::string storage;
    line_fields fields{const_cast<char*>(key_field.c_str()), const_cast<char*>(""),
                       const_cast<char*>("")};
    line_to_check line = line_to_check::copied(fields, storage);
    return parse_line_key(key, line);
}

}  // namespace

key_parse identify_key(const std::string& key_field)
{
    pk_key key;
    key_parse parsed;
    parsed.code = parse_key_field(key_field, key);
    if (parsed.code == 0)
        parsed.code = identify(key, parsed.identity);
    return parsed;
}

int signature_check_detail::key_field_der(const std::string& key_field,
                                          std::vector<unsigned char>& der)
{
    pk_key key;
    const int code = parse_key_field(key_field, key);
    if (code != 0)
        return code;
    std::array<unsigned char, KEY_DER_BUFFER_SIZE> written{};
    const int length = write_key_der(key, written.data(), written.size());
    if (length < 0)
        return length;
    der.assign(written.end() - length, written.end());
    return 0;
}

bool is_der_ecdsa_signature(const unsigned char* bytes, std::size_t size)
{
    const unsigned char* p = bytes;
    const unsigned char* const end = bytes + size;
    std::size_t length = 0;
    if (p == end || *p++ != (MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) ||
        !read_der_length(p, end, length) || static_cast<std::size_t>(end - p) != length)
        return false;
    return read_der_positive_integer(p, end) && read_der_positive_integer(p, end) && p == end;
}

bool is_allocation_failure(int32_t code)
{
    if (code >= 0)
        return false;
    // A code is a high-level (module) part plus a low-level part.
    const unsigned value = 0U - static_cast<unsigned>(code);
    const unsigned high = value & 0xFF80U;
    const unsigned low = value & 0x007FU;
    return high == 0U - static_cast<unsigned>(MBEDTLS_ERR_PK_ALLOC_FAILED) ||
           high == 0U - static_cast<unsigned>(MBEDTLS_ERR_PEM_ALLOC_FAILED) ||
           high == 0U - static_cast<unsigned>(MBEDTLS_ERR_ECP_ALLOC_FAILED) ||
           high == 0U - static_cast<unsigned>(MBEDTLS_ERR_MD_ALLOC_FAILED) ||
           low == 0U - static_cast<unsigned>(MBEDTLS_ERR_MPI_ALLOC_FAILED) ||
           low == 0U - static_cast<unsigned>(MBEDTLS_ERR_ASN1_ALLOC_FAILED);
}
