// The ceiling of the benchmark: the library calls the tool makes for a line
// whose key parses, and nothing else. Per line: split at the first two
// commas, wrap the key field in PEM armour, parse the key, hash the data
// field with SHA-256, decode the hex signature pair by pair with strtoul,
// verify, free the key. No
// line rules, no sequence check, no output per line.
//
//     bench_ceiling <log>
//
// Prints the lines read, the lines verified and the elapsed time; exits 0
// only when every line verified.
#include <mbedtls/md.h>
#include <mbedtls/pk.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t LINE_BUFFER_SIZE = 1 << 20;
constexpr std::size_t PEM_BUFFER_SIZE = LINE_BUFFER_SIZE + 128;
constexpr std::size_t SIGNATURE_MAX = 1024;
constexpr char PEM_FORMAT[] = "-----BEGIN PUBLIC KEY-----\r\n%s\r\n-----END PUBLIC KEY-----\r\n";

// Decodes the signature text as the plain check does: each pair of
// characters through strtoul in base 16, an odd last character ignored.
std::size_t decode_hex(const char* text, unsigned char* out, std::size_t capacity)
{
    const std::size_t count = std::strlen(text) / 2;
    if (count > capacity)
        return 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
        out[i] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16) & 0xFF);
    }
    return count;
}

bool verify_line(char* line, char* pem)
{
    char* data = std::strchr(line, ',');
    if (data == nullptr)
        return false;
    *data++ = '\0';
    char* signature = std::strchr(data, ',');
    if (signature == nullptr)
        return false;
    *signature++ = '\0';
    signature[std::strcspn(signature, "\r\n")] = '\0';

    const int pem_len = std::snprintf(pem, PEM_BUFFER_SIZE, PEM_FORMAT, line);
    if (pem_len < 0 || static_cast<std::size_t>(pem_len) >= PEM_BUFFER_SIZE)
        return false;

    mbedtls_pk_context key;
    mbedtls_pk_init(&key);
    bool verified = false;
    if (mbedtls_pk_parse_public_key(&key, reinterpret_cast<const unsigned char*>(pem),
                                    std::strlen(pem) + 1) == 0) {
        unsigned char hash[32];
        mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256),
                   reinterpret_cast<const unsigned char*>(data), std::strlen(data), hash);
        unsigned char signature_bytes[SIGNATURE_MAX];
        const std::size_t signature_len = decode_hex(signature, signature_bytes, SIGNATURE_MAX);
        verified = mbedtls_pk_verify(&key, MBEDTLS_MD_SHA256, hash, 0, signature_bytes,
                                     signature_len) == 0;
    }
    mbedtls_pk_free(&key);
    return verified;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <log>\n", argv[0]);
        return 2;
    }
    FILE* log = std::fopen(argv[1], "r");
    if (log == nullptr) {
        std::fprintf(stderr, "%s: cannot open %s\n", argv[0], argv[1]);
        return 2;
    }

    // Not zero-filled, so the RSS counts only the pages the lines touch.
    const std::unique_ptr<char[]> line(new char[LINE_BUFFER_SIZE]);
    const std::unique_ptr<char[]> pem(new char[PEM_BUFFER_SIZE]);
    unsigned long lines = 0;
    unsigned long verified = 0;
    const auto start = std::chrono::steady_clock::now();
    while (std::fgets(line.get(), static_cast<int>(LINE_BUFFER_SIZE), log) != nullptr) {
        ++lines;
        if (verify_line(line.get(), pem.get()))
            ++verified;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool read_error = std::ferror(log) != 0;
    std::fclose(log);

    std::printf("lines %lu\nverified %lu\nseconds %.3f\n", lines, verified, seconds);
    if (read_error) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 2;
    }
    return verified == lines ? 0 : 1;
}
