// The check of one line's signature: key field, data field and trimmed
// signature field in, verdict out. This is the only part of the tool that
// talks to the crypto library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "key_identity.hpp"
#include "line_format.hpp"
#include "signature_check_key_store.hpp"

// Largest signature, in bytes, that a line may carry: enough for an RSA
// modulus of 8,192 bits. A longer signature text is rejected undecoded.
inline constexpr std::size_t SIGNATURE_BUFFER_SIZE = 1024;

// What the check of one line decided.
enum class check_verdict {
    key_error,      // the key field does not parse
    bad_signature,  // the signature does not verify
    verified,
    untrusted_key,  // the key parses but is not one of the trusted keys
    out_of_memory,  // the check could not get the memory it needs: no verdict
    // With strict_encoding, a signature that verifies over a key field that
    // is not the one DER encoding of its key in base64, or an ECDSA
    // signature that verifies but is not DER: another encoding of a line
    // would verify as well, so a genuine line could be copied as a
    // different-looking one.
    key_encoding,
    signature_encoding,
};

struct line_verdict {
    check_verdict kind = check_verdict::key_error;
    // The key parser's code (negative) for key_error, the library's code for
    // out_of_memory when it gave one, else 0.
    int32_t key_code = 0;
    // The key of a line whose key parsed, when check_settings asks for it.
    key_identity key;
};

// What a check must find out besides the verdict.
struct check_settings {
    // When set, only these keys may sign: a line with any other key that
    // parses is untrusted_key, and its signature is not checked.
    const trusted_fingerprints* trusted = nullptr;
    // Fill line_verdict::key for every key that parses.
    bool identify_keys = false;
    // A line that verifies must be in the one encoding (see key_encoding).
    bool strict_encoding = false;
};

// The armour a key field is wrapped in for the key parser (those lines,
// each ended by CR LF), and the room it takes before the field and from the
// field's terminating NUL on.
inline constexpr char KEY_ARMOUR_BEGIN[] = "-----BEGIN PUBLIC KEY-----\r\n";
inline constexpr char KEY_ARMOUR_END[] = "\r\n-----END PUBLIC KEY-----\r\n";
static_assert(std::string_view(KEY_ARMOUR_BEGIN).starts_with(PEM_PUBLIC_KEY_BEGIN));
static_assert(std::string_view(KEY_ARMOUR_END).substr(2).starts_with(PEM_PUBLIC_KEY_END));
inline constexpr std::size_t KEY_ARMOUR_ROOM_BEFORE = sizeof KEY_ARMOUR_BEGIN - 1;
inline constexpr std::size_t KEY_ARMOUR_ROOM_AFTER = sizeof KEY_ARMOUR_END;

// Spare bytes a buffer needs after a line (and its NUL) for
// line_to_check::in_place: the armour's room, and a NUL of its own for each
// field where an absent data and signature field share the line's NUL.
inline constexpr std::size_t LINE_TO_CHECK_SLACK =
    KEY_ARMOUR_ROOM_BEFORE + KEY_ARMOUR_ROOM_AFTER + 1;

// A line's three fields laid out in one buffer as the check needs them:
//
//     [room] key \0 [room] data \0 signature \0
//
// The room lets the check wrap the key field in its PEM armour where it
// stands, so that no key, however long, is copied to be parsed.
class line_to_check {
public:
    // A copy of the fields, laid out in storage (which it replaces).
    static line_to_check copied(const line_fields& fields, std::string& storage);

    // The fields laid out within the buffer [begin, end) that holds them,
    // moved as needed; nothing when the buffer is too small for that, which
    // LINE_TO_CHECK_SLACK spare bytes after the fields rule out.
    static std::optional<line_to_check> in_place(const line_fields& fields, char* begin,
                                                 const char* end);

    const char* key() const { return key_; }
    std::size_t key_length() const { return key_length_; }
    const char* data() const { return data_; }
    const char* signature() const { return signature_; }

    // Writes the armour around the key field in its room, making the key
    // text the parser needs; returns that text and its length (without the
    // NUL after it). The key field itself stays where it is.
    const char* armour_key(std::size_t* length);

private:
    line_to_check(char* key, std::size_t key_length, const char* data, const char* signature)
        : key_(key), key_length_(key_length), data_(data), signature_(signature)
    {
    }

    char* key_;
    std::size_t key_length_;
    const char* data_;
    const char* signature_;
};

// How the library's work is spent. Every method gives the same verdict for
// every input; the kept ones only avoid repeated work.
enum class check_method {
    plain,        // parse the key and verify afresh for every line
    kept_keys,    // parsed keys and each curve's base-point table kept in the state
    kept_tables,  // as kept_keys, plus the point table of every kept key
};

namespace signature_check_detail {
// A curve's group with its base point's table.
struct curve_context;
}  // namespace signature_check_detail

// What each thread that checks lines keeps unless told otherwise: the keys
// of a fleet of a few thousand devices, bounded in bytes too, so that a run
// holds little however many keys its log brings (a P-256 key with its
// point table takes 2.7 KiB, so 3,000 of them fill the bytes).
inline constexpr key_store_limits THREAD_KEY_STORE = {4096, std::size_t{8} * 1024 * 1024};

// What a thread keeps from line to line so that a key or a curve that comes
// again costs less: the parsed keys of a fleet, bounded in number and
// bytes, and each curve's group. Every thread that checks lines has one of
// its own; making one allocates nothing.
struct check_state {
    explicit check_state(key_store_limits limits = THREAD_KEY_STORE);
    ~check_state();
    check_state(const check_state&) = delete;
    check_state& operator=(const check_state&) = delete;

    key_store keys;
    // Indexed by the crypto library's group id; loaded on first use.
    std::array<std::unique_ptr<signature_check_detail::curve_context>, 16> curves;
};

// Decides whether the line's signature field is a valid signature, under
// the public key in its key field (base64 DER SubjectPublicKeyInfo), of the
// SHA-256 digest of its data field, keeping what it parses in state. Prints
// nothing and writes nothing; threads that each use a state of their own
// may call it at once. Running out of memory gives out_of_memory, never an
// exception and never a verdict.
line_verdict check_line_signature_by(check_state& state, check_method method, line_to_check& line,
                                     const check_settings& settings);
line_verdict check_line_signature(check_state& state, line_to_check& line,
                                  const check_settings& settings);

// The same for three separate texts, with no trust list and no identity.
line_verdict check_line_signature_by(check_state& state, check_method method, const char* key_field,
                                     const char* data_field, const char* signature_field);
line_verdict check_line_signature(check_state& state, const char* key_field, const char* data_field,
                                  const char* signature_field);

// Parses a key field as a line's key is parsed: code 0 and the key's
// identity, or the parser's (negative) code.
struct key_parse {
    int32_t code = 0;
    key_identity identity;
};
key_parse identify_key(const std::string& key_field);

// Reads the body of a PEM CERTIFICATE block (its base64 lines joined) with
// the crypto library's X.509 parser and identifies the certificate's public
// key exactly as identify_key identifies the same key as a key field, so
// that a key is taken or refused alike in either form. Only the
// certificate's form is checked, not its issuer or its signature; its
// dates are read, not judged.
struct certificate_key_parse {
    // The base64 decoder's or the X.509 parser's (negative) code when the
    // certificate itself does not parse, else 0.
    int32_t certificate_code = 0;
    // The parse of its key, when the certificate parses.
    key_parse key;
    // Its validity, as ISO 8601 times in UTC.
    std::string valid_from;
    std::string valid_to;
};
certificate_key_parse identify_certificate_key(const std::string& base64_body);

// True when bytes are an ECDSA signature in DER: SEQUENCE { INTEGER r,
// INTEGER s }, every length in its shortest form, both numbers positive and
// without a leading zero byte they do not need, nothing after it.
bool is_der_ecdsa_signature(const unsigned char* bytes, std::size_t size);

// True when a code of the crypto library says that it ran out of memory.
bool is_allocation_failure(int32_t code);

namespace signature_check_detail {
// The key of a key field, parsed as a line's key is, as the library writes
// it back (named curve, uncompressed point) into der; 0, or the parser's or
// the writer's negative code.
int key_field_der(const std::string& key_field, std::vector<unsigned char>& der);
}  // namespace signature_check_detail
