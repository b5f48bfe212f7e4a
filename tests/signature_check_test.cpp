// The verdict of one line: every supported key kind, the key kinds that
// must be refused with their codes, and signature texts that must not pass;
// and the store of kept keys: which keys it keeps, and its bounds.
#include <gtest/gtest.h>
#include <malloc.h>

#include <string>
#include <utility>
#include <vector>

#include "fixtures.hpp"
#include "signature_check.hpp"
#include "signature_check_key_store.hpp"

namespace {

using fixtures::key_field;
using fixtures::signature;

const std::string DATA = "tx/0/1/2/3/4/5/1";

const std::vector<std::string> LISTED_CURVES = {
    "secp192r1", "secp224r1", "secp256r1",       "secp384r1",       "secp521r1",      "secp192k1",
    "secp224k1", "secp256k1", "brainpoolP256r1", "brainpoolP384r1", "brainpoolP512r1"};

// The keys and curves these checks keep from one to the next, as a worker's.
check_state& kept_state()
{
    static check_state state;
    return state;
}

line_verdict check(const std::string& key, const std::string& data, const std::string& sig)
{
    return check_line_signature(kept_state(), key.c_str(), data.c_str(), sig.c_str());
}

check_verdict verdict_of(const std::string& key, const std::string& data, const std::string& sig)
{
    return check(key, data, sig).kind;
}

void expect_key_error(const std::string& key, int32_t code)
{
    const line_verdict verdict = check(key, DATA, "00");
    EXPECT_EQ(verdict.kind, check_verdict::key_error);
    EXPECT_EQ(verdict.key_code, code) << std::hex << -verdict.key_code;
}

TEST(SignatureCheck, RsaKeysOfEverySizeVerify)
{
    for (const char* name : {"rsa1024", "rsa2048", "rsa3072", "rsa4096", "rsa8192"}) {
        SCOPED_TRACE(name);
        const line_verdict verdict = check(key_field(name), DATA, signature(name, DATA));
        EXPECT_EQ(verdict.kind, check_verdict::verified);
        EXPECT_EQ(verdict.key_code, 0);
    }
}

TEST(SignatureCheck, NamedAndExplicitKeysOfEveryListedCurveVerify)
{
    for (const std::string& curve : LISTED_CURVES) {
        for (const std::string prefix : {"", "explicit_G04_", "explicit_G02_"}) {
            SCOPED_TRACE(prefix + curve);
            EXPECT_EQ(verdict_of(key_field(prefix + curve), DATA, signature(curve, DATA)),
                      check_verdict::verified);
            EXPECT_EQ(verdict_of(key_field(prefix + curve), "ev/1/x", signature(curve, DATA)),
                      check_verdict::bad_signature);
        }
    }
}

TEST(SignatureCheck, UnsupportedKeysAreKeyErrorsWithTheLibraryCode)
{
    expect_key_error(key_field("named_secp160r1"), -0x3a00);
    expect_key_error(key_field("named_brainpoolP224r1"), -0x3a00);
    for (const char* name : {"explicit_G04_secp160r1", "explicit_G02_secp160r1",
                             "explicit_G04_brainpoolP224r1", "explicit_G02_brainpoolP224r1"}) {
        SCOPED_TRACE(name);
        expect_key_error(key_field(name), -0x4e80);
    }
    expect_key_error(key_field("compressed_secp256r1"), -0x4e80);
    expect_key_error(key_field("ed25519"), -0x3c80);
    expect_key_error(key_field("x25519"), -0x3c80);
    expect_key_error(key_field("dsa2048"), -0x3c80);
}

TEST(SignatureCheck, MalformedKeyFieldsCarryTheParseCode)
{
    expect_key_error("MFkw!EwYHKoZIzj0CAQ", -0x112c);  // outside the base64 alphabet
    expect_key_error("", -0x3d60);                     // nothing to parse
    expect_key_error("AAAA", -0x3d62);                 // not a SEQUENCE
    const std::string& key = key_field("secp256r1");
    // Blanks may end the base64 body; inside it, or a tab, they break it.
    EXPECT_EQ(verdict_of(key + "   ", DATA, signature("secp256r1", DATA)), check_verdict::verified);
    EXPECT_EQ(verdict_of(key.substr(0, 20) + " " + key.substr(20), DATA, "00"),
              check_verdict::key_error);
    EXPECT_EQ(verdict_of(key + "\t", DATA, "00"), check_verdict::key_error);
}

TEST(SignatureCheck, EcdhKeysParseButNeverVerify)
{
    for (const char* name : {"ecdh_secp256r1", "domain_ecdh_secp256r1"}) {
        SCOPED_TRACE(name);
        const line_verdict verdict = check(key_field(name), DATA, signature("secp256r1", DATA));
        EXPECT_EQ(verdict.kind, check_verdict::bad_signature);
        EXPECT_EQ(verdict.key_code, 0);
    }
}

// The explicit-domain key of secp256r1 as DER, for edits.
std::string explicit_p256_der()
{
    return fixtures::from_base64(key_field("explicit_G04_secp256r1"));
}

TEST(SignatureCheck, ExplicitDomainThatIsNoListedCurveIsUnsupported)
{
    // Change the last byte of the prime: still a well-formed domain.
    std::string der = explicit_p256_der();
    const std::string prime_field_oid = "\x06\x07\x2a\x86\x48\xce\x3d\x01\x01";
    const std::size_t at = der.find(prime_field_oid);
    ASSERT_NE(at, std::string::npos);
    const std::size_t prime_at = at + prime_field_oid.size();
    ASSERT_EQ(der[prime_at], '\x02');
    const auto prime_len = static_cast<std::size_t>(static_cast<unsigned char>(der[prime_at + 1]));
    der[prime_at + 1 + prime_len] ^= 0x02;
    expect_key_error(fixtures::to_base64(der), -0x4e80);
}

// secp256r1's explicit domain with one thing changed (made by
// make_fixtures.py): a domain of another curve is unsupported (-0x4e80), a
// malformed one keeps the library's own refusal.
const std::vector<std::pair<std::string, int32_t>> EDITED_P256_DOMAINS = {
    {"domain_minus_G04_secp256r1", -0x4e80},  // base point -G: y of the other parity
    {"domain_minus_G02_secp256r1", -0x4e80},
    {"domain_flipped_a_secp256r1", -0x4e80},
    {"domain_flipped_b_secp256r1", -0x4e80},
    {"domain_flipped_order_secp256r1", -0x4e80},
    {"domain_flipped_Gx_secp256r1", -0x4e80},
    {"domain_prime_trailer_secp256r1", -0x3d66},       // bytes after the field prime
    {"domain_curve_trailer_secp256r1", -0x3d66},       // bytes after the seed
    {"domain_long_G04_secp256r1", -0x3d00},            // 04 X Y and one byte more
    {"domain_G02_prefix_on_both_secp256r1", -0x3d00},  // 02 X Y
    {"domain_point_trailer_secp256r1", -0x3b66},       // bytes after the public point
};

TEST(SignatureCheck, EditedExplicitDomainsOfAListedCurveAreRefused)
{
    for (const auto& [name, code] : EDITED_P256_DOMAINS) {
        SCOPED_TRACE(name);
        expect_key_error(key_field(name), code);
    }
}

// One byte of the explicit secp256r1 key changed: the domain's version (1 to
// 3 are read) and its field type (only a prime field is). Code 0: verifies.
TEST(SignatureCheck, ExplicitDomainVersionAndFieldType)
{
    const std::string version(std::string("\x02\x01\x01", 3));
    const std::string prime_field("\x06\x07\x2a\x86\x48\xce\x3d\x01\x01");
    const struct {
        const std::string& find;
        std::size_t at;
        char value;
        int32_t code;
    } edits[] = {
        {version, 2, 0, -0x3d00},      // version 0
        {version, 2, 2, 0},            // version 2
        {version, 2, 3, 0},            // version 3
        {version, 2, 4, -0x3d00},      // version 4
        {prime_field, 8, 2, -0x3980},  // characteristic-two field
    };
    for (const auto& edit : edits) {
        SCOPED_TRACE(testing::Message() << fixtures::to_hex(edit.find) << " byte " << edit.at
                                        << " = " << int{edit.value});
        std::string der = explicit_p256_der();
        const std::size_t found = der.find(edit.find);
        ASSERT_NE(found, std::string::npos);
        der[found + edit.at] = edit.value;
        const std::string key = fixtures::to_base64(der);
        if (edit.code != 0) {
            expect_key_error(key, edit.code);
        } else {
            EXPECT_EQ(verdict_of(key, DATA, signature("secp256r1", DATA)), check_verdict::verified);
        }
    }
}

// ------------------------------------------------------------ certificates

std::string hex_of(const key_fingerprint& fingerprint)
{
    return fixtures::to_hex(std::string(fingerprint.begin(), fingerprint.end()));
}

std::string type_of(const key_identity& identity) { return identity.type.data(); }

TEST(Certificates, AKeyIsTheSameKeyAsInAKeyFieldWithOpenSslsFingerprint)
{
    const struct {
        const char* certificate;
        const char* key;  // the fixture key field of the same key
    } cases[] = {
        {"secp256r1", "secp256r1"},
        {"secp384r1", "secp384r1"},
        {"rsa2048", "rsa2048"},
        // Dates long past, issued by another key: neither is checked.
        {"expired_secp256r1", "secp256r1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.certificate);
        const certificate_key_parse parsed =
            identify_certificate_key(fixtures::certificate_body(c.certificate));
        ASSERT_EQ(parsed.certificate_code, 0) << std::hex << -parsed.certificate_code;
        ASSERT_EQ(parsed.key.code, 0) << std::hex << -parsed.key.code;
        EXPECT_EQ(hex_of(parsed.key.identity.sha256),
                  fixtures::certificate_fingerprint(c.certificate));
        const key_parse as_field = identify_key(key_field(c.key));
        EXPECT_EQ(parsed.key.identity.sha256, as_field.identity.sha256);
        EXPECT_EQ(type_of(parsed.key.identity), type_of(as_field.identity));
    }
    // Explicit curve parameters, which the X.509 parser refuses: the tool
    // matches the curve itself, as for a key field, and the key has the
    // fingerprint of its named twin.
    const certificate_key_parse explicit_key =
        identify_certificate_key(fixtures::certificate_body("explicit_secp256k1"));
    EXPECT_EQ(explicit_key.certificate_code, 0) << std::hex << -explicit_key.certificate_code;
    EXPECT_EQ(explicit_key.key.code, 0) << std::hex << -explicit_key.key.code;
    EXPECT_EQ(hex_of(explicit_key.key.identity.sha256), fixtures::fingerprint("secp256k1"));
    EXPECT_EQ(type_of(explicit_key.key.identity), "EC secp256k1");
    // A key kind the tool refuses in a key field is refused with the same
    // code in a certificate.
    const certificate_key_parse ed25519 =
        identify_certificate_key(fixtures::certificate_body("ed25519"));
    EXPECT_EQ(ed25519.certificate_code, 0);
    EXPECT_EQ(ed25519.key.code, identify_key(key_field("ed25519")).code);
    EXPECT_EQ(ed25519.key.code, -0x3c80);
}

TEST(Certificates, MalformedCertificatesAreRefused)
{
    constexpr int32_t BASE64_INVALID_CHARACTER = -0x2c;
    constexpr int32_t X509_LENGTH_MISMATCH = -0x21e6;
    constexpr int32_t X509_UNKNOWN_VERSION = -0x2580;
    const std::string named = fixtures::from_base64(fixtures::certificate_body("secp256r1"));
    const std::string explicit_key =
        fixtures::from_base64(fixtures::certificate_body("explicit_secp256k1"));
    // The version is the third byte of "A0 03 02 01 02" after the two
    // SEQUENCE headers (four bytes each: both are longer than 255 bytes).
    ASSERT_EQ(fixtures::to_hex(explicit_key.substr(8, 5)), "a003020102");
    std::string explicit_version_9 = explicit_key;
    explicit_version_9[12] = 9;
    std::string not_base64 = fixtures::certificate_body("secp256r1");
    not_base64[40] = '!';

    const struct {
        const char* name;
        std::string body;
        int32_t code;  // 0: any code of the certificate
    } cases[] = {
        {"not base64", not_base64, BASE64_INVALID_CHARACTER},
        {"empty", "", 0},
        {"cut short", fixtures::to_base64(named.substr(0, named.size() - 20)), 0},
        {"bytes after it", fixtures::to_base64(named + std::string(4, '\0')), X509_LENGTH_MISMATCH},
        {"a key, not a certificate", key_field("secp256r1"), 0},
        // Explicit curve parameters take the tool's own path to the key;
        // the rest of the certificate must still be whole and well-formed.
        {"explicit key, bytes after it", fixtures::to_base64(explicit_key + "\x30"), 0},
        {"explicit key, unknown version", fixtures::to_base64(explicit_version_9),
         X509_UNKNOWN_VERSION},
        {"explicit key, cut short",
         fixtures::to_base64(explicit_key.substr(0, explicit_key.size() - 20)), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const certificate_key_parse parsed = identify_certificate_key(c.body);
        EXPECT_LT(parsed.certificate_code, 0);
        if (c.code != 0) {
            EXPECT_EQ(parsed.certificate_code, c.code) << std::hex << -parsed.certificate_code;
        }
    }
}

TEST(SignatureCheck, SignatureTextRules)
{
    const std::string& key = key_field("secp256r1");
    const std::string& sig = signature("secp256r1", DATA);
    std::string upper = sig;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(verdict_of(key, DATA, upper), check_verdict::verified);
    EXPECT_EQ(verdict_of(key, DATA, sig + "7"), check_verdict::verified);  // odd digit dropped
    EXPECT_EQ(verdict_of(key, DATA, sig + "00"), check_verdict::bad_signature);
    EXPECT_EQ(verdict_of(key, DATA, ""), check_verdict::bad_signature);
    EXPECT_EQ(verdict_of(key, DATA + " ", sig), check_verdict::bad_signature);
    EXPECT_EQ(verdict_of(key, " " + DATA, sig), check_verdict::bad_signature);

    const std::string& rsa = key_field("rsa2048");
    const std::string& rsa_sig = signature("rsa2048", DATA);
    EXPECT_EQ(verdict_of(rsa, DATA, rsa_sig.substr(0, rsa_sig.size() - 2)),
              check_verdict::bad_signature);
    EXPECT_EQ(verdict_of(rsa, DATA, rsa_sig + "00"), check_verdict::bad_signature);
}

// The verdict of a line under the encoding rules of --strict.
check_verdict strict_verdict_of(const std::string& key, const std::string& data,
                                const std::string& sig)
{
    check_settings settings;
    settings.strict_encoding = true;
    std::string storage;
    const line_fields fields{const_cast<char*>(key.c_str()), const_cast<char*>(data.c_str()),
                             const_cast<char*>(sig.c_str())};
    line_to_check line = line_to_check::copied(fields, storage);
    return check_line_signature(kept_state(), line, settings).kind;
}

// An ECDSA signature SEQUENCE { r, s } written again, each part as asked:
// the outer length in long form, a needless zero byte before r, r's length
// in long form.
std::string reencoded(const std::string& der_hex, bool long_outer, bool zero_before_r,
                      bool long_r_length)
{
    const std::string der = fixtures::from_hex(der_hex);
    const auto part = [&der](std::size_t at) {
        return der.substr(at + 2, static_cast<unsigned char>(der[at + 1]));
    };
    std::string r = part(2);
    const std::string s = part(2 + 2 + r.size());
    if (zero_before_r)
        r.insert(r.begin(), '\0');
    std::string r_length(1, static_cast<char>(r.size()));
    if (long_r_length)
        r_length.insert(r_length.begin(), '\x81');
    const std::string body = "\x02" + r_length + r + "\x02" + static_cast<char>(s.size()) + s;
    std::string outer(1, static_cast<char>(body.size()));
    if (long_outer)
        outer.insert(outer.begin(), '\x81');
    return fixtures::to_hex("\x30" + outer + body);
}

TEST(SignatureCheck, ASecondEncodingOfAValidLineIsAnErrorUnderStrict)
{
    for (const char* name : {"secp256r1", "secp384r1", "secp256k1", "brainpoolP256r1"}) {
        SCOPED_TRACE(name);
        const std::string& key = key_field(name);
        const std::string& der = signature(name, DATA);
        ASSERT_TRUE(is_der_ecdsa_signature(reinterpret_cast<const unsigned char*>(
                                               fixtures::from_hex(der).data()),
                                           der.size() / 2));
        EXPECT_EQ(strict_verdict_of(key, DATA, der), check_verdict::verified);
        // BER that the crypto library takes: it verifies, but is a second
        // line as valid as the first.
        for (const std::string& ber :
             {reencoded(der, true, false, false), reencoded(der, false, true, false),
              reencoded(der, false, false, true)}) {
            SCOPED_TRACE(ber);
            EXPECT_EQ(verdict_of(key, DATA, ber), check_verdict::verified);
            EXPECT_EQ(strict_verdict_of(key, DATA, ber), check_verdict::signature_encoding);
        }
        // A forged signature stays a signature error under strict.
        EXPECT_EQ(strict_verdict_of(key, DATA + "x", reencoded(der, true, false, false)),
                  check_verdict::bad_signature);
        // The key field with bytes after its key.
        const std::string longer = fixtures::to_base64(fixtures::from_base64(key) + '\0');
        EXPECT_EQ(verdict_of(longer, DATA, der), check_verdict::verified);
        EXPECT_EQ(strict_verdict_of(longer, DATA, der), check_verdict::key_encoding);
        // Base64 whose last digit carries a bit that decodes to nothing
        // (before "=" or "==" its low two or four bits are left over).
        const std::string digits =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string loose = key;
        const std::size_t padding = loose.size() - loose.find_last_not_of('=') - 1;
        if (padding == 0)
            continue;  // every bit counts
        char& last = loose[loose.size() - padding - 1];
        last = digits[digits.find(last) ^ 1U];
        ASSERT_EQ(fixtures::from_base64(loose), fixtures::from_base64(key));
        EXPECT_EQ(verdict_of(loose, DATA, der), check_verdict::verified);
        EXPECT_EQ(strict_verdict_of(loose, DATA, der), check_verdict::key_encoding);
    }
    // An RSA line, a key with explicit curve parameters (taken on purpose)
    // and a DER signature with its sign byte stay verified.
    EXPECT_EQ(strict_verdict_of(key_field("rsa2048"), DATA, signature("rsa2048", DATA)),
              check_verdict::verified);
    EXPECT_EQ(strict_verdict_of(key_field("explicit_G04_secp256r1"), DATA,
                                signature("secp256r1", DATA)),
              check_verdict::verified);
    for (const auto& [der, is_der] : std::vector<std::pair<std::string, bool>>{
             {"3006020101020101", true},
             {"300702020080020101", true},   // 0x80 needs its zero byte
             {"300702020001020101", false},  // 1 does not
             {"3006020181020101", false},    // negative
             {"30050200020101", false},      // empty r
             {"300602010102010100", false},  // a byte after it
             {"308106020101020101", false},  // long form of a short length
             {"30060201010201", false},      // cut short
         }) {
        const std::string bytes = fixtures::from_hex(der);
        EXPECT_EQ(is_der_ecdsa_signature(reinterpret_cast<const unsigned char*>(bytes.data()),
                                         bytes.size()),
                  is_der)
            << der;
    }
}

TEST(SignatureCheck, SignaturesUpToTheBufferSizeOnly)
{
    // An 8,192-bit RSA signature fills the 1,024-byte buffer exactly.
    const std::string& key = key_field("rsa8192");
    const std::string& sig = signature("rsa8192", DATA);
    ASSERT_EQ(sig.size(), 2 * SIGNATURE_BUFFER_SIZE);
    EXPECT_EQ(verdict_of(key, DATA, sig), check_verdict::verified);
    EXPECT_EQ(verdict_of(key, DATA, sig + "f"), check_verdict::verified);
    EXPECT_EQ(verdict_of(key, DATA, sig + "ff"), check_verdict::bad_signature);
    EXPECT_EQ(verdict_of(key, DATA, std::string(10 * 1000 * 1000, 'a')),
              check_verdict::bad_signature);
}

// Every copy of text with one bit of one byte changed.
std::vector<std::string> with_one_byte_changed(const std::string& text)
{
    std::vector<std::string> changed(text.size(), text);
    for (std::size_t i = 0; i < text.size(); ++i)
        changed[i][i] ^= 0x01;
    return changed;
}

// Any change to a signed line's key, data or signature must stop it from
// verifying.
TEST(SignatureCheck, EveryTamperedByteFails)
{
    for (const char* name : {"secp256r1", "rsa1024"}) {
        SCOPED_TRACE(name);
        const std::string& key = key_field(name);
        const std::string& sig = signature(name, DATA);
        for (const std::string& changed : with_one_byte_changed(fixtures::from_base64(key)))
            EXPECT_NE(verdict_of(fixtures::to_base64(changed), DATA, sig), check_verdict::verified)
                << "key " << fixtures::to_hex(changed);
        for (const std::string& changed : with_one_byte_changed(fixtures::from_hex(sig)))
            EXPECT_NE(verdict_of(key, DATA, fixtures::to_hex(changed)), check_verdict::verified)
                << "signature " << fixtures::to_hex(changed);
        for (const std::string& changed : with_one_byte_changed(DATA))
            EXPECT_NE(verdict_of(key, changed, sig), check_verdict::verified) << "data " << changed;
    }
}

// ------------------------------------------------------- key store

// The keys of the store's cases, by letter from 'a': every signer of the
// fixtures, then an id-ecDH key (with its signer, whose signatures it never
// verifies).
const std::vector<std::pair<std::string, std::string>> STORE_KEYS = {
    {"secp256r1", "secp256r1"},
    {"rsa2048", "rsa2048"},
    {"secp384r1", "secp384r1"},
    {"secp256k1", "secp256k1"},
    {"brainpoolP256r1", "brainpoolP256r1"},
    {"rsa1024", "rsa1024"},
    {"secp224r1", "secp224r1"},
    {"secp192r1", "secp192r1"},
    {"secp521r1", "secp521r1"},
    {"secp192k1", "secp192k1"},
    {"secp224k1", "secp224k1"},
    {"brainpoolP384r1", "brainpoolP384r1"},
    {"brainpoolP512r1", "brainpoolP512r1"},
    {"rsa512", "rsa512"},
    {"rsa3072", "rsa3072"},
    {"rsa4096", "rsa4096"},
    {"rsa8192", "rsa8192"},
    {"ecdh_secp256r1", "secp256r1"},
};

// Checks a line of the letter's key in store, expecting the plain check's
// verdict; returns 'P' when the store parsed the key, '.' when it kept it.
char check_in_store(check_state& store, char letter)
{
    const auto& [name, signer] = STORE_KEYS.at(static_cast<std::size_t>(letter - 'a'));
    const std::string& key = key_field(name);
    const std::string& sig = signature(signer, DATA);
    const uint64_t parsed = store.keys.counts.parsed;
    const line_verdict kept = check_line_signature_by(store, check_method::kept_tables, key.c_str(),
                                                      DATA.c_str(), sig.c_str());
    const line_verdict plain = check_line_signature_by(kept_state(), check_method::plain,
                                                       key.c_str(), DATA.c_str(), sig.c_str());
    EXPECT_EQ(kept.kind, plain.kind) << name;
    EXPECT_EQ(kept.key_code, plain.key_code) << name;
    return store.keys.counts.parsed > parsed ? 'P' : '.';
}

struct store_case {
    const char* what;
    std::size_t keys;    // what the store holds at most
    std::string lines;   // the key of each line, by letter
    std::string parsed;  // per line: 'P' when its key is parsed, '.' when it is kept
};

const store_case STORE_CASES[] = {
    {"keys that fit are parsed once", 3, "abcabcabc", "PPP......"},
    {"a cycle longer than the store keeps nothing", 3, "abcdabcd", "PPPPPPPP"},
    // Least recent first would drop a for d.
    {"a key seen again outlives the keys seen once", 3, "aabcdab", "P.PPP.P"},
    {"the least recent key seen once goes first", 3, "abcadcb", "PPP.P.P"},
    {"keys seen again go least recent first when no other is left", 2, "aabbcabc", "P.P.PP.P"},
    {"each use makes a key seen again the most recent", 2, "aabbaca", "P.P..P."},
    // Sixteen keys seen again: the two least recent are kept only as keys
    // seen once, so q and r each get a place, and q, seen again, stays.
    {"keys seen again hold at most seven eighths", 16, "aabbccddeeffgghhiijjkkllmmnnooppqrqac",
     "P.P.P.P.P.P.P.P.P.P.P.P.P.P.P.P.PP.P."},
};

TEST(KeyStore, KeepsTheKeysThatComeBack)
{
    for (const store_case& c : STORE_CASES) {
        SCOPED_TRACE(c.what);
        check_state store({c.keys, std::size_t{1} << 30});
        std::string parsed;
        for (const char letter : c.lines)
            parsed += check_in_store(store, letter);
        EXPECT_EQ(parsed, c.parsed);
        EXPECT_LE(store.keys.size(), c.keys);
    }
}

TEST(KeyStore, HoldsNoMoreBytesThanItsLimit)
{
    check_state measure({1, std::size_t{1} << 30});
    check_in_store(measure, 'a');
    const std::size_t p256_key = measure.keys.bytes();
    ASSERT_GT(p256_key, 500U);

    // Room for about three P-256 keys, fewer of the larger ones.
    const std::size_t limit = 3 * p256_key + p256_key / 2;
    check_state store({100, limit});
    for (int round = 0; round < 2; ++round) {
        for (char letter = 'a'; letter <= 'r'; ++letter) {
            check_in_store(store, letter);
            EXPECT_LE(store.keys.bytes(), limit) << letter;
            EXPECT_GE(store.keys.size(), 1U) << letter;
        }
    }
    // A cycle through every key is longer than the store: none is kept.
    EXPECT_EQ(store.keys.counts.parsed, 2U * STORE_KEYS.size());
    // Each key parsed is kept, dropped since, or too large to keep.
    EXPECT_EQ(store.keys.counts.dropped + store.keys.counts.too_large,
              store.keys.counts.parsed - store.keys.size());

    // A key larger than the whole store is checked but not kept.
    check_state tiny({100, p256_key / 2});
    EXPECT_EQ(check_in_store(tiny, 'a'), 'P');
    EXPECT_EQ(check_in_store(tiny, 'a'), 'P');
    EXPECT_EQ(tiny.keys.size(), 0U);
    EXPECT_EQ(tiny.keys.bytes(), 0U);
    EXPECT_EQ(tiny.keys.counts.too_large, 2U);
}

// A kept key checked without its point table gets it on a later line; the
// store then counts the table, and drops the key when it no longer fits.
TEST(KeyStore, CountsATableBuiltForAKeptKey)
{
    const std::string& key = key_field("secp256r1");
    const std::string& sig = signature("secp256r1", DATA);
    const auto check_by = [&](check_state& store, check_method method) {
        return check_line_signature_by(store, method, key.c_str(), DATA.c_str(), sig.c_str()).kind;
    };
    check_state store({4, std::size_t{1} << 30});
    EXPECT_EQ(check_by(store, check_method::kept_keys), check_verdict::verified);
    const std::size_t without_table = store.keys.bytes();
    EXPECT_EQ(store.keys.counts.tables, 0U);
    EXPECT_EQ(check_by(store, check_method::kept_tables), check_verdict::verified);
    EXPECT_EQ(store.keys.counts.tables, 1U);
    // Eight points of two coordinates each, at the least.
    EXPECT_GT(store.keys.bytes(), without_table + 8 * 2 * 32);
    EXPECT_EQ(check_by(store, check_method::kept_tables), check_verdict::verified);
    EXPECT_EQ(store.keys.counts.tables, 1U);

    check_state small({4, without_table + 100});
    EXPECT_EQ(check_by(small, check_method::kept_keys), check_verdict::verified);
    EXPECT_EQ(small.keys.size(), 1U);
    EXPECT_EQ(check_by(small, check_method::kept_tables), check_verdict::verified);
    EXPECT_EQ(small.keys.size(), 0U);
    EXPECT_EQ(small.keys.bytes(), 0U);
}

// The store's count of its bytes is what bounds a run's memory: it must be
// what the allocator hands out for the keys, their tables and the store's
// own nodes. Every key comes with sixteen key fields (blanks may end one), so
// that the chunks the allocator keeps aside for reuse weigh little.
TEST(KeyStore, CountsTheBytesItsKeysHold)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps its own accounts";
#endif
    check_state store({1000, std::size_t{1} << 30});
    const auto check_every_key = [&store](int first_blanks, int last_blanks) {
        for (int blanks = first_blanks; blanks <= last_blanks; ++blanks) {
            for (const auto& [name, signer] : STORE_KEYS) {
                const std::string key = key_field(name) + std::string(blanks, ' ');
                const std::string& sig = signature(signer, DATA);
                check_line_signature_by(store, check_method::kept_tables, key.c_str(), DATA.c_str(),
                                        sig.c_str());
            }
        }
    };
    // Every curve the state keeps is loaded first, outside the count.
    check_every_key(16, 16);
    const std::size_t kept_before = store.keys.bytes();
    const std::size_t heap_before = mallinfo2().uordblks;
    check_every_key(0, 15);
    const std::size_t grown = mallinfo2().uordblks - heap_before;
    EXPECT_EQ(store.keys.size(), 17 * STORE_KEYS.size());
    EXPECT_NEAR(static_cast<double>(store.keys.bytes() - kept_before), static_cast<double>(grown),
                0.05 * static_cast<double>(grown));
}

}  // namespace
