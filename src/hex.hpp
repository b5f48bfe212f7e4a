// Bytes as hexadecimal text, two digits a byte, and back: fingerprints,
// digests and the checkpoint's packed fields.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Lower-case digits.
inline std::string hex_of(const unsigned char* bytes, std::size_t size)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0xF];
    }
    return hex;
}

template <std::size_t N>
std::string hex_of(const std::array<unsigned char, N>& bytes)
{
    return hex_of(bytes.data(), N);
}

// The value of a hex digit of either case, or -1.
inline int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The bytes of hex digits of either case, two a byte; false unless text is
// that, whole.
inline bool bytes_of_hex(std::string_view text, std::vector<unsigned char>& bytes)
{
    if (text.size() % 2 != 0)
        return false;
    bytes.resize(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = hex_digit_value(text[2 * i]);
        const int low = hex_digit_value(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

// The same for exactly N bytes.
template <std::size_t N>
bool bytes_of_hex(std::string_view text, std::array<unsigned char, N>& bytes)
{
    std::vector<unsigned char> read;
    if (text.size() != 2 * N || !bytes_of_hex(text, read))
        return false;
    std::copy(read.begin(), read.end(), bytes.begin());
    return true;
}
