// Who a key is, as the reports and the trusted keys name it, and the PEM
// block its text comes in.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "hex.hpp"

// The lines around a PEM PUBLIC KEY block.
inline constexpr char PEM_PUBLIC_KEY_BEGIN[] = "-----BEGIN PUBLIC KEY-----";
inline constexpr char PEM_PUBLIC_KEY_END[] = "-----END PUBLIC KEY-----";

// SHA-256 over a key's DER SubjectPublicKeyInfo as the crypto library
// writes it back (named curve, uncompressed point), so that a key written
// with explicit curve parameters has the fingerprint of its named twin.
using key_fingerprint = std::array<unsigned char, 32>;

// Fingerprints of the keys that may sign a log, sorted.
using trusted_fingerprints = std::vector<key_fingerprint>;

// A key's fingerprint and its kind ("RSA-2048", "EC secp256r1",
// "ECDH secp256r1").
struct key_identity {
    key_fingerprint sha256{};
    std::array<char, 24> type{};
};

// A fingerprint as "sha256:" shows it: 64 lower-case hex digits.
inline std::string fingerprint_hex(const key_fingerprint& fingerprint)
{
    return hex_of(fingerprint);
}
