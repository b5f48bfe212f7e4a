// The public key of an X.509 certificate, for --trusted-keys files: the
// certificate is read by the crypto library's X.509 parser, and its key is
// identified as a key field with the same bytes would be.
#include <mbedtls/asn1.h>
#include <mbedtls/base64.h>
#include <mbedtls/x509.h>
#include <mbedtls/x509_crt.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "signature_check.hpp"
#include "signature_check_ec.hpp"

#if !defined(MBEDTLS_X509_CRT_PARSE_C)
#error "the crypto library cannot parse X.509 certificates"
#endif

using namespace signature_check_detail;

namespace {

using certificate = library_object<mbedtls_x509_crt, mbedtls_x509_crt_init, mbedtls_x509_crt_free>;
using bytes = std::vector<unsigned char>;

constexpr int SEQUENCE = MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE;
constexpr int EXPLICIT_VERSION = MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED | 0;

// What the X.509 parser says of a DER certificate that holds more than
// one: its length does not match.
constexpr int BYTES_AFTER_CERTIFICATE =
    MBEDTLS_ERR_X509_INVALID_FORMAT + MBEDTLS_ERR_ASN1_LENGTH_MISMATCH;

int from_base64(const std::string& text, bytes& der)
{
    const auto* const source = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t size = 0;
    const int code = mbedtls_base64_decode(nullptr, 0, &size, source, text.size());
    if (code != 0 && code != MBEDTLS_ERR_BASE64_BUFFER_TOO_SMALL)
        return code;
    der.resize(size);
    return mbedtls_base64_decode(der.data(), der.size(), &size, source, text.size());
}

std::string to_base64(const unsigned char* der, std::size_t length)
{
    std::size_t size = 0;
    (void)mbedtls_base64_encode(nullptr, 0, &size, der, length);
    std::string text(size, '\0');
    (void)mbedtls_base64_encode(reinterpret_cast<unsigned char*>(text.data()), text.size(), &size,
                                der, length);
    text.resize(size);  // without the NUL the library counts
    return text;
}

// Where a certificate's parts lie in its DER, as offsets.
struct certificate_layout {
    std::size_t tbs_begin = 0;          // the TBSCertificate, tag and length included
    std::size_t tbs_content_begin = 0;  // its content
    std::size_t tbs_end = 0;
    std::size_t key_begin = 0;  // the SubjectPublicKeyInfo, tag and length included
    std::size_t key_end = 0;
    std::size_t end = 0;  // of the certificate
};

bool skip(unsigned char** p, const unsigned char* end, int tag)
{
    std::size_t length = 0;
    if (mbedtls_asn1_get_tag(p, end, &length, tag) != 0)
        return false;
    *p += length;
    return true;
}

// Walks the DER up to the SubjectPublicKeyInfo, by tags and lengths only.
bool find_key(bytes& der, certificate_layout& at)
{
    unsigned char* const start = der.data();
    unsigned char* p = start;
    const unsigned char* end = p + der.size();
    std::size_t length = 0;
    // A certificate and nothing after it.
    if (mbedtls_asn1_get_tag(&p, end, &length, SEQUENCE) != 0 || p + length != end)
        return false;
    end = p + length;
    at.end = static_cast<std::size_t>(end - start);
    at.tbs_begin = static_cast<std::size_t>(p - start);
    if (mbedtls_asn1_get_tag(&p, end, &length, SEQUENCE) != 0)
        return false;
    at.tbs_content_begin = static_cast<std::size_t>(p - start);
    const unsigned char* const tbs_end = p + length;
    at.tbs_end = static_cast<std::size_t>(tbs_end - start);
    (void)skip(&p, tbs_end, EXPLICIT_VERSION);  // version 1 leaves it out
    // Serial number, signature algorithm, issuer, validity, subject.
    if (!skip(&p, tbs_end, MBEDTLS_ASN1_INTEGER))
        return false;
    for (int part = 0; part < 4; ++part) {
        if (!skip(&p, tbs_end, SEQUENCE))
            return false;
    }
    at.key_begin = static_cast<std::size_t>(p - start);
    if (!skip(&p, tbs_end, SEQUENCE))
        return false;
    at.key_end = static_cast<std::size_t>(p - start);
    return true;
}

void append_length(bytes& out, std::size_t length)
{
    if (length < 0x80) {
        out.push_back(static_cast<unsigned char>(length));
        return;
    }
    unsigned char digits[sizeof length];
    std::size_t count = 0;
    for (; length > 0; length >>= 8)
        digits[count++] = static_cast<unsigned char>(length & 0xFF);
    out.push_back(static_cast<unsigned char>(0x80 | count));
    while (count > 0)
        out.push_back(digits[--count]);
}

bytes sequence_of(const bytes& content)
{
    bytes out{static_cast<unsigned char>(SEQUENCE)};
    append_length(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// The certificate with key_der in place of its SubjectPublicKeyInfo.
bytes with_key(const bytes& der, const certificate_layout& at, const bytes& key_der)
{
    const auto part = [&der](std::size_t begin, std::size_t end) {
        return bytes(der.begin() + static_cast<std::ptrdiff_t>(begin),
                     der.begin() + static_cast<std::ptrdiff_t>(end));
    };
    bytes tbs = part(at.tbs_content_begin, at.key_begin);
    tbs.insert(tbs.end(), key_der.begin(), key_der.end());
    const bytes after_key = part(at.key_end, at.tbs_end);
    tbs.insert(tbs.end(), after_key.begin(), after_key.end());
    bytes content = sequence_of(tbs);
    const bytes after_tbs = part(at.tbs_end, at.end);
    content.insert(content.end(), after_tbs.begin(), after_tbs.end());
    return sequence_of(content);
}

// The X.509 parser's code for a whole certificate and nothing after it.
int parse_certificate(const bytes& der, certificate& parsed)
{
    const int code = mbedtls_x509_crt_parse_der(&parsed.value, der.data(), der.size());
    if (code != 0)
        return code;
    return parsed.value.raw.len == der.size() ? 0 : BYTES_AFTER_CERTIFICATE;
}

// A certificate that the X.509 parser refused with code. When the refusal
// may be the key's (the parser takes no explicit curve parameters, which
// the tool matches itself), the key is parsed as a key field: a key the
// tool refuses is the answer, and a key it takes is put back into the
// certificate as the library writes it, so that the parser checks all the
// rest with a key it reads.
// A certificate's time as ISO 8601 in UTC, as the X.509 parser read it.
std::string iso_text(const mbedtls_x509_time& time)
{
    char text[32];
    (void)std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", time.year, time.mon,
                        time.day, time.hour, time.min, time.sec);
    return text;
}

// The key and the validity of a certificate that parsed.
certificate_key_parse key_of(const certificate& parsed, const std::string& key_field)
{
    return {0, identify_key(key_field), iso_text(parsed.value.valid_from),
            iso_text(parsed.value.valid_to)};
}

certificate_key_parse parse_refused(bytes& der, int code)
{
    certificate_layout at;
    if (!find_key(der, at))
        return {code, {}, {}, {}};
    const std::string key_field = to_base64(der.data() + at.key_begin, at.key_end - at.key_begin);
    bytes key_der;
    const int key_code = key_field_der(key_field, key_der);
    if (key_code != 0)
        return {0, {key_code, {}}, {}, {}};
    certificate again;
    const int again_code = parse_certificate(with_key(der, at, key_der), again);
    if (again_code != 0)
        return {again_code, {}, {}, {}};
    return key_of(again, key_field);
}

}  // namespace

certificate_key_parse identify_certificate_key(const std::string& base64_body)
{
    bytes der;
    const int decoded = from_base64(base64_body, der);
    if (decoded != 0)
        return {decoded, {}, {}, {}};
    certificate parsed;
    const int code = parse_certificate(der, parsed);
    if (code != 0)
        return parse_refused(der, code);
    const mbedtls_x509_buf& key = parsed.value.pk_raw;
    return key_of(parsed, to_base64(key.p, key.len));
}
