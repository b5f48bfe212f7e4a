#include "fixtures.hpp"

#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace fixtures {
namespace {

std::map<std::string, std::string> load_keys()
{
    std::map<std::string, std::string> keys;
    std::ifstream in(std::string(FIXTURE_DIR) + "/keys.txt");
    std::string name, field;
    while (in >> name >> field)
        keys[name] = field;
    if (keys.empty())
        throw std::runtime_error("no keys in " FIXTURE_DIR "/keys.txt");
    return keys;
}

std::map<std::pair<std::string, std::string>, std::string> load_signatures()
{
    std::map<std::pair<std::string, std::string>, std::string> signatures;
    std::ifstream in(std::string(FIXTURE_DIR) + "/signed.txt");
    std::string row;
    while (std::getline(in, row)) {
        const auto tab1 = row.find('\t');
        const auto tab2 = row.find('\t', tab1 + 1);
        signatures[{row.substr(0, tab1), row.substr(tab1 + 1, tab2 - tab1 - 1)}] =
            row.substr(tab2 + 1);
    }
    return signatures;
}

// The named key whose signatures a variant key shares.
std::string signer_of(const std::string& key_name)
{
    for (const char* prefix : {"explicit_G04_", "explicit_G02_", "compressed_", "ecdh_"}) {
        const std::string p(prefix);
        if (key_name.compare(0, p.size(), p) == 0)
            return key_name.substr(p.size());
    }
    return key_name;
}

constexpr char BASE64_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

const std::string& key_field(const std::string& key_name)
{
    static const auto keys = load_keys();
    const auto it = keys.find(key_name);
    if (it == keys.end())
        throw std::runtime_error("no fixture key " + key_name);
    return it->second;
}

const std::string& fingerprint(const std::string& key_name)
{
    static const auto fingerprints = [] {
        std::map<std::string, std::string> loaded;
        std::ifstream in(std::string(FIXTURE_DIR) + "/trust/fingerprints.txt");
        std::string name, hex;
        while (in >> name >> hex)
            loaded[name] = hex;
        return loaded;
    }();
    const auto it = fingerprints.find(key_name);
    if (it == fingerprints.end())
        throw std::runtime_error("no fixture fingerprint of " + key_name);
    return it->second;
}

std::string pem_path(const std::string& key_name)
{
    return std::string(FIXTURE_DIR) + "/trust/" + key_name + ".pem";
}

std::string certificate_path(const std::string& name)
{
    return std::string(FIXTURE_DIR) + "/trust/" + name + ".crt";
}

std::string certificate_body(const std::string& name)
{
    std::ifstream in(certificate_path(name));
    std::string line;
    std::string body;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.starts_with("-----"))
            inside = !inside;
        else if (inside)
            body += line;
    }
    if (body.empty())
        throw std::runtime_error("no fixture certificate " + name);
    return body;
}

const std::string& certificate_fingerprint(const std::string& name)
{
    static const auto fingerprints = [] {
        std::map<std::string, std::string> loaded;
        std::ifstream in(std::string(FIXTURE_DIR) + "/trust/certificates.txt");
        std::string file, hex;
        while (in >> file >> hex)
            loaded[file] = hex;
        return loaded;
    }();
    const auto it = fingerprints.find(name + ".crt");
    if (it == fingerprints.end())
        throw std::runtime_error("no fixture fingerprint of " + name + ".crt");
    return it->second;
}

const std::string& signature(const std::string& signer, const std::string& data)
{
    static const auto signatures = load_signatures();
    const auto it = signatures.find({signer, data});
    if (it == signatures.end())
        throw std::runtime_error("no fixture signature by " + signer + " of " + data);
    return it->second;
}

std::string signed_line(const std::string& key_name, const std::string& data,
                        const std::string& signer)
{
    return key_field(key_name) + "," + data + "," + signature(signer, data);
}

std::string signed_line(const std::string& key_name, const std::string& data)
{
    return signed_line(key_name, data, signer_of(key_name));
}

std::string to_base64(const std::string& bytes)
{
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6)
            out += BASE64_ALPHABET[(v >> shift) & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += BASE64_ALPHABET[(v >> 18) & 63];
        out += BASE64_ALPHABET[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? BASE64_ALPHABET[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string from_base64(const std::string& text)
{
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : text) {
        const char* at = std::char_traits<char>::find(BASE64_ALPHABET, 64, c);
        if (at == nullptr)
            continue;
        v = (v << 6) | static_cast<unsigned>(at - BASE64_ALPHABET);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((v >> bits) & 0xFF);
        }
    }
    return out;
}

std::string to_hex(const std::string& bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string from_hex(const std::string& hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace fixtures
