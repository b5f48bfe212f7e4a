// Arbitrary keys and signatures through the signature check: every way of
// checking (plain, kept keys, kept point tables) must give the plain
// verdict. The input is a DER key (base64-encoded here, so that mutations
// reach the key parser and the explicit-domain matching) followed by the
// signature bytes; a first byte with its low bit set instead hands the key
// bytes over as the key text itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "signature_check.hpp"

namespace {

constexpr char DATA[] = "tx/0/1/2/3/4/5/1";

std::string to_base64(const uint8_t* bytes, std::size_t size)
{
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        const unsigned v = (bytes[i] << 16) | (i + 1 < size ? bytes[i + 1] << 8 : 0) |
                           (i + 2 < size ? bytes[i + 2] : 0);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < size ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < size ? alphabet[v & 63] : '=';
    }
    return out;
}

std::string to_hex(const uint8_t* bytes, std::size_t size)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const bool raw_key_text = (data[0] & 1) != 0;
    const std::size_t key_size = ((std::size_t{data[1]} << 8) | data[2]) % (size - 2);
    const uint8_t* const key = data + 3;
    const std::size_t available = size - 3;
    const std::size_t used = key_size < available ? key_size : available;
    const std::string key_field =
        raw_key_text ? std::string(reinterpret_cast<const char*>(key), used) : to_base64(key, used);
    const std::string signature = to_hex(key + used, available - used);

    // What a worker keeps from line to line, kept from input to input.
    static check_state state;
    const line_verdict plain = check_line_signature_by(state, check_method::plain,
                                                       key_field.c_str(), DATA, signature.c_str());
    for (const check_method method :
         {check_method::kept_keys, check_method::kept_tables, check_method::kept_tables}) {
        const line_verdict kept =
            check_line_signature_by(state, method, key_field.c_str(), DATA, signature.c_str());
        if (kept.kind != plain.kind || kept.key_code != plain.key_code)
            std::abort();
    }
    return 0;
}
