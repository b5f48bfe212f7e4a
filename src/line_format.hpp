// How a line is cut into its fields and items, and how the sequence item
// and the signature text become a number and bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "line_time.hpp"

// Which kind of log is being verified; chosen once from the command line.
// It decides which item of the data field carries the sequence number.
enum class log_mode { transaction, event };

// The three comma-separated fields of a line. A field the line does not
// carry is the empty text (it points at the line's terminating NUL).
struct line_fields {
    char* key;
    char* data;
    char* signature;
};

// Removes leading and trailing whitespace (the "C" locale's isspace set) in
// place; the text is moved to the start of the given buffer.
void trim_whitespace(char* text);

// Splits a trimmed line in place as strtok does on ",": leading commas are
// skipped, runs of commas count as one, and each field is ended by a NUL
// written over the comma after it. Anything after the third field stays
// as it was.
line_fields split_line(char* line);

// A line split into its fields, with what its data field says of its
// place, read once as the line is split: the sequence number it carries
// (extract_sequence) and, with time_field (the item's number, from 1), its
// time.
struct line_place {
    uint32_t sequence = 0;
    line_time time;
};
struct split_fields {
    line_fields fields;
    line_place place;
};
split_fields split_line(char* line, log_mode mode, std::optional<uint32_t> time_field = {});

// The item of a data field at index (from 0), or nothing.
std::optional<std::string_view> data_item(const char* data_field, std::size_t index);

// Where next_field goes on in a text.
struct field_cursor {
    const char* next;
};

// The next item of the cursor's text, up to the first of the delimiters,
// or nothing when the text is used up. Unlike strtok, two delimiters in a
// row give an empty item; a delimiter at the very end gives no empty last
// item, and an empty text gives no item at all. The text is not changed.
std::optional<std::string_view> next_field(field_cursor& cursor, const char* delimiters);

// The sequence number carried by a data field: item 7 of a transaction
// log, item 1 of an event log, converted like strtoul into 32 bits; 0 when
// the item is missing or holds no number.
uint32_t extract_sequence(const char* data_field, log_mode mode);

// Decodes the signature text pairwise: byte i is the low 8 bits of strtoul
// (base 16) of characters 2i and 2i+1; an odd last character is ignored.
// The caller makes sure strlen(signature) / 2 bytes fit into bytes.
// Returns the byte count.
uint32_t decode_signature_hex(const char* signature, unsigned char* bytes);
