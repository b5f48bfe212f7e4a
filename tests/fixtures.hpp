// Access to the OpenSSL-made keys and signatures in tests/fixtures.
#pragma once

#include <string>

namespace fixtures {

// The key field (base64 DER SubjectPublicKeyInfo) of a fixture key.
const std::string& key_field(const std::string& key_name);

// The lower-case hex signature that signer made over data. Explicit-parameter
// and other variants of a named key share that key's signatures.
const std::string& signature(const std::string& signer, const std::string& data);

// "KEY,DATA,SIG": a line of key_name carrying signer's signature of data.
std::string signed_line(const std::string& key_name, const std::string& data,
                        const std::string& signer);
std::string signed_line(const std::string& key_name, const std::string& data);

// The key's SHA-256 fingerprint as OpenSSL computes it (64 hex digits), and
// the path of its PEM public key as `openssl pkey -pubout` writes it
// (tests/fixtures/trust, for a few named keys).
const std::string& fingerprint(const std::string& key_name);
std::string pem_path(const std::string& key_name);

// The path of an OpenSSL-made certificate in tests/fixtures/trust (NAME.crt,
// see make_certificate_fixtures.py), the base64 body of its PEM block, and
// the fingerprint of its key as OpenSSL computes it (named-curve and RSA
// keys only).
std::string certificate_path(const std::string& name);
std::string certificate_body(const std::string& name);
const std::string& certificate_fingerprint(const std::string& name);

// base64 of bytes, and back.
std::string to_base64(const std::string& bytes);
std::string from_base64(const std::string& text);

// Lower-case hex of bytes, and back.
std::string to_hex(const std::string& bytes);
std::string from_hex(const std::string& hex);

}  // namespace fixtures
