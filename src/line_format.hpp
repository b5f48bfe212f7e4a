// How the log is read and how a line is cut into its fields and items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "run_types.hpp"

// One physical line at most this long (including its NUL) is read at once;
// a longer one arrives in several pieces, each handled as a line.
inline constexpr std::size_t LINE_BUFFER_SIZE = 104857600;

// The three comma-separated fields of a line. A field the line does not
// carry is the empty text (it points at the line's terminating NUL).
struct line_fields {
    char* key;
    char* data;
    char* signature;
};

// Spare bytes the line buffer keeps before a line and after the longest
// line, so that a field can be wrapped in place (see the signature check).
inline constexpr std::size_t LINE_ROOM_BEFORE = 32;
inline constexpr std::size_t LINE_ROOM_AFTER = 32;

// Reads the next line of the log into the process-wide line buffer and
// returns it, or nullptr at the end of the log or on a read error (tell the
// two apart with ferror).
char* read_line(FILE* log);

// Removes leading and trailing whitespace (the "C" locale's isspace set) in
// place; the text is moved to the start of the given buffer.
void trim_whitespace(char* text);

// Splits a trimmed line in place with strtok semantics on ",": leading
// commas are skipped and runs of commas count as one.
line_fields split_line(char* line);

// Returns the next item of text, cut at the first of the delimiters, or
// nullptr when there is none. Pass the text first, then nullptr to go on.
// Unlike strtok, empty items between two delimiters are kept.
char* next_field(char* text, const char* delimiters);

// Restarts next_field as if it had never been called.
void reset_next_field();

// The sequence number carried by a data field: item 7 of a transaction
// log, item 1 of an event log, converted like strtoul into 32 bits; 0 when
// the item is missing or holds no number. Splits the data field in place.
uint32_t extract_sequence(char* data_field, log_mode mode);

// Decodes the signature text pairwise: byte i is the low 8 bits of strtoul
// (base 16) of characters 2i and 2i+1; an odd last character is ignored.
// The caller makes sure strlen(signature) / 2 bytes fit into bytes.
// Returns the byte count.
uint32_t decode_signature_hex(const char* signature, unsigned char* bytes);
