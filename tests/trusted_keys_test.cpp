// The trusted-keys file as its reader sees it, in process: every form an
// entry takes names the key OpenSSL names, and every entry that is none
// stops the reading with its file, its line and why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "hex.hpp"
#include "test_support.hpp"
#include "trusted_keys.hpp"

namespace {

std::string file_content(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Reads files (written as trust0.txt, trust1.txt, ... in dir) as the run
// reads --trusted-keys; bounded_keys counts the keys held to conditions.
bool read_trust(const scratch_dir& dir, const std::vector<std::string>& files,
                std::vector<std::string>& fingerprints, trusted_keys_error& error,
                std::size_t* bounded_keys = nullptr)
{
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < files.size(); ++i) {
        paths.push_back(dir.file("trust" + std::to_string(i) + ".txt"));
        dir.write("trust" + std::to_string(i) + ".txt", files[i]);
    }
    trust_list trust;
    const bool read = load_trusted_keys(paths, trust, error);
    for (const key_fingerprint& key : trust.keys)
        fingerprints.push_back(hex_of(key));
    if (bounded_keys != nullptr)
        *bounded_keys = trust.conditions.size();
    return read;
}

TEST(TrustedKeys, EveryFormOfAnEntryNamesTheKeyOpenSslNames)
{
    const std::string OTHER = "secp384r1";
    const std::string fingerprint = fixtures::fingerprint(KEY);
    std::string upper = fingerprint;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const struct {
        const char* name;
        std::vector<std::string> files;
        std::vector<std::string> keys;  // fixture names
        std::size_t bounded;            // keys held to conditions
    } cases[] = {
        {"PEM as OpenSSL writes it", {file_content(fixtures::pem_path(KEY))}, {KEY}, 0},
        {"base64 key line", {key_field(KEY) + "\n"}, {KEY}, 0},
        {"fingerprint", {"sha256:" + fingerprint + "\n"}, {KEY}, 0},
        {"fingerprint with conditions at their bounds",
         {"sha256:" + fingerprint +
          " seq=5-5 revoked-after=0 not-before=2026-01-01 not-after=2026-01-01\n"},
         {KEY},
         1},
        {"a PEM block with conditions",
         {"conditions: seq=1-\n" + file_content(fixtures::pem_path(KEY))},
         {KEY},
         1},
        {"a window beside an entry without conditions, which frees the key",
         {"sha256:" + fingerprint + " seq=1-5\n" + key_field(KEY) + "\n"},
         {KEY},
         0},
        {"fingerprint in capitals, comments, CR LF",
         {"# the device key\r\n\r\n  sha256:" + upper + "  \r\n"},
         {KEY},
         0},
        {"explicit-parameter twin", {key_field("explicit_G02_secp256r1") + "\n"}, {KEY}, 0},
        // A certificate's validity dates hold its key.
        {"certificate as OpenSSL writes it",
         {file_content(fixtures::certificate_path(KEY))},
         {KEY},
         1},
        {"expired certificate from another issuer",
         {file_content(fixtures::certificate_path("expired_" + KEY))},
         {KEY},
         1},
        {"both keys in one file",
         {file_content(fixtures::pem_path(KEY)) + "sha256:" + fixtures::fingerprint(OTHER)},
         {KEY, OTHER},
         0},
        {"both keys in two files, one twice",
         {key_field(KEY), file_content(fixtures::pem_path(OTHER)) + key_field(KEY)},
         {KEY, OTHER},
         0},
        {"certificates of both keys",
         {file_content(fixtures::certificate_path(KEY)) +
          file_content(fixtures::certificate_path(OTHER))},
         {KEY, OTHER},
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_dir dir;
        std::vector<std::string> read;
        trusted_keys_error error;
        std::size_t bounded = 0;
        ASSERT_TRUE(read_trust(dir, c.files, read, error, &bounded)) << error.message;
        EXPECT_EQ(bounded, c.bounded);
        std::vector<std::string> expected;
        for (const std::string& name : c.keys)
            expected.push_back(fixtures::fingerprint(name));
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(read, expected);
    }
}

TEST(TrustedKeys, AnEntryThatIsNoneNamesItsFileAndLine)
{
    const std::string certificate = file_content(fixtures::certificate_path(KEY));
    const std::string certificate_begin = "-----BEGIN CERTIFICATE-----\n";
    const std::string certificate_end = "-----END CERTIFICATE-----\n";
    const std::string body = fixtures::from_base64(fixtures::certificate_body(KEY));
    const struct {
        const char* name;
        std::optional<std::string> content;  // none: no such file
        uint64_t line;
        std::string message;
    } cases[] = {
        {"no such file", std::nullopt, 0, "No such file or directory"},
        {"empty", "", 0, "no key or fingerprint in it"},
        {"comments only", "# nothing yet\n\n", 0, "no key or fingerprint in it"},
        {"short fingerprint", "sha256:abcd\n", 1, "not a fingerprint (sha256: and 64 hex digits)"},
        {"fingerprint with a non-hex digit",
         "# x\nsha256:g646f506227e62c19674582e640b7dcbf0bbd9ea6532ca57ae5b0ff32eaa8627\n", 2,
         "not a fingerprint (sha256: and 64 hex digits)"},
        {"key that does not parse", "# device\n\nAAAA\n", 3, "key does not parse (-0x3d62)"},
        {"a NUL byte", key_field(KEY) + "\n" + std::string(1, '\0') + "\n", 2,
         "a NUL byte in the line"},
        {"PEM block cut short", "\n-----BEGIN PUBLIC KEY-----\nMFkwEw\n", 2,
         "PEM block without its END line"},
        {"other PEM block", "-----BEGIN RSA PUBLIC KEY-----\nAAAA\n-----END RSA PUBLIC KEY-----\n",
         1, "not a PEM PUBLIC KEY or CERTIFICATE block"},
        {"certificate with a byte cut off",
         "# signer\n" + certificate_begin + fixtures::to_base64(body.substr(1)) + "\n" +
             certificate_end,
         2, "certificate does not parse (-0x2180)"},
        {"certificate with bytes after it",
         certificate_begin + fixtures::to_base64(body + "\n") + "\n" + certificate_end, 1,
         "certificate does not parse (-0x21e6)"},
        {"certificate ended as a key", certificate_begin + "MIIB\n-----END PUBLIC KEY-----\n", 1,
         "PEM block without its END line"},
        {"certificate of a key kind the tool refuses",
         certificate + file_content(fixtures::certificate_path("ed25519")),
         static_cast<uint64_t>(std::count(certificate.begin(), certificate.end(), '\n') + 1),
         "the certificate's key does not parse (-0x3c80)"},
        {"larger than a file of keys is", std::string(std::size_t{16} * 1024 * 1024 + 1, '#'), 0,
         "larger than 16 MiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_dir dir;
        // A good file first: the bad one is named, whichever comes.
        dir.write("good.txt", key_field(KEY) + "\n");
        if (c.content)
            dir.write("keys.txt", *c.content);
        trust_list trust;
        trusted_keys_error error;
        EXPECT_FALSE(load_trusted_keys({dir.file("good.txt"), dir.file("keys.txt")}, trust, error));
        EXPECT_EQ(error.path, dir.file("keys.txt"));
        EXPECT_EQ(error.line, c.line);
        EXPECT_EQ(error.message, c.message);
    }
}

}  // namespace
