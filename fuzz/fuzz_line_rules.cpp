// Arbitrary text through the line rules alone, with the invariants they
// promise checked on every input. Each routine works on a heap copy of
// exactly the input's size, so a read or write past it is caught.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "line_format.hpp"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::unique_ptr<char[]> text_copy(const std::string& text)
{
    auto copy = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

bool inside(const char* p, const char* begin, std::size_t size)
{
    return p >= begin && p <= begin + size;
}

void check_trim(const std::string& text)
{
    const auto copy = text_copy(text);
    const std::size_t before = std::strlen(copy.get());
    trim_whitespace(copy.get());
    const std::size_t after = std::strlen(copy.get());
    require(after <= before);
    if (after > 0)
        require(!is_blank(copy[0]) && !is_blank(copy[after - 1]));
}

void check_split_and_sequence(const std::string& text, log_mode mode)
{
    const auto copy = text_copy(text);
    char* const line = copy.get();
    trim_whitespace(line);
    const std::size_t size = std::strlen(line);
    const line_fields fields = split_line(line);
    require(inside(fields.key, line, size) && inside(fields.data, line, size) &&
            inside(fields.signature, line, size));
    require(std::strchr(fields.key, ',') == nullptr && std::strchr(fields.data, ',') == nullptr);
    trim_whitespace(fields.signature);

    const std::string data_before(fields.data);
    const bool has_digit = std::strpbrk(fields.data, "0123456789") != nullptr;
    const uint32_t number = extract_sequence(fields.data, mode);
    // Without a digit there is no number, and the data field is left alone.
    require(has_digit || number == 0);
    require(data_before == fields.data);
}

void check_items(const std::string& text)
{
    const auto copy = text_copy(text);
    const std::size_t size = text.size();
    std::size_t items = 0;
    field_cursor cursor{copy.get()};
    while (const std::optional<std::string_view> item = next_field(cursor, "/")) {
        require(inside(item->data(), copy.get(), size) &&
                inside(item->data() + item->size(), copy.get(), size));
        require(item->find('/') == std::string_view::npos);
        require(++items <= size + 1);
    }
    require(!next_field(cursor, "/"));
}

void check_hex(const std::string& text)
{
    const std::size_t count = std::strlen(text.c_str()) / 2;
    auto bytes = std::make_unique<unsigned char[]>(count + 1);
    require(decode_signature_hex(text.c_str(), bytes.get()) == count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    check_trim(text);
    check_split_and_sequence(text, log_mode::transaction);
    check_split_and_sequence(text, log_mode::event);
    check_items(text);
    check_hex(text);
    return 0;
}
