// A log and its rotated files, as a rotating writer names them beside it:
// PATH.N (N from 0 up, PATH.1 the newest), each maybe compressed
// (PATH.N.gz, .xz, .zst or .bz2), or, with dated names, PATH-DATE[.EXT]
// (DATE digits and dashes, at least eight digits, as -%Y%m%d gives them).
#pragma once

#include <string>
#include <vector>

// The files of the set of path that exist, oldest first: numbered files
// from the highest number down, then dated files in the order of their
// dates, then path itself. Where a file is there both plain and compressed
// (its compression under way), the plain one is taken. Only regular files
// (through symbolic links) count; a set that has none is empty.
std::vector<std::string> rotated_set(const std::string& path);

// Whether name is a rotated file of the log named base (both without a
// directory); number is its rotation number, or -1 for a dated name, and
// date its date.
struct rotated_name {
    long long number = -1;
    std::string date;
    bool compressed = false;
};
bool read_rotated_name(const std::string& name, const std::string& base, rotated_name& rotated);
