// The check of one line's signature: key field, data field and trimmed
// signature field in, outcome out. This is the only part of the tool that
// talks to the crypto library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "run_types.hpp"

// Largest signature, in bytes, that a line may carry: enough for an RSA
// modulus of 8,192 bits. A longer signature text is rejected undecoded.
inline constexpr std::size_t SIGNATURE_BUFFER_SIZE = 1024;

// The armour a key field is wrapped in for the key parser, and the room it
// takes before and after the field (with the terminating NUL) when it is
// written around the field where it stands.
inline constexpr char KEY_ARMOUR_BEGIN[] = "-----BEGIN PUBLIC KEY-----\r\n";
inline constexpr char KEY_ARMOUR_END[] = "\r\n-----END PUBLIC KEY-----\r\n";
inline constexpr std::size_t KEY_ARMOUR_ROOM_BEFORE = sizeof KEY_ARMOUR_BEGIN - 1;
inline constexpr std::size_t KEY_ARMOUR_ROOM_AFTER = sizeof KEY_ARMOUR_END;

struct line_verdict {
    line_outcome outcome;
    // The key parser's code (negative) for key_error, else 0.
    int32_t key_code;
};

// The same check for a line too large to copy, with no second copy of the
// key field: the armour is written around key_field where it stands, over
// the KEY_ARMOUR_ROOM_BEFORE bytes before it and the KEY_ARMOUR_ROOM_AFTER
// bytes from its terminating NUL on, which must be writable and must not
// hold data_field or signature_field. Keys checked this way are not kept.
line_verdict check_line_signature_in_place(char* key_field, const char* data_field,
                                           const char* signature_field);

// How the library's work is spent. Every method gives the same verdict for
// every input; the kept ones only avoid repeated work.
enum class check_method {
    plain,        // parse the key and verify afresh for every line
    kept_keys,    // parsed keys and each curve's base-point table kept per thread
    kept_tables,  // as kept_keys, plus the point table of every kept key
};

line_verdict check_line_signature_by(check_method method, const char* key_field,
                                     const char* data_field, const char* signature_field);

// Decides whether signature_field is a valid signature, under the public
// key in key_field (base64 DER SubjectPublicKeyInfo), of the SHA-256 digest
// of data_field. Prints nothing and writes nothing; safe to call from
// several threads at once (each keeps its own parsed keys and tables).
line_verdict check_line_signature(const char* key_field, const char* data_field,
                                  const char* signature_field);
