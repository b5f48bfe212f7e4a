// Writing a file whole: a text to a descriptor, and a file replaced with a
// new text so that a reader finds the old file or the new one, never a
// part of either.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// Writes all of text to fd; false, errno telling why, when it cannot.
bool write_whole(int fd, std::string_view text);

// The directory a path lies in ("." for a name without one).
std::string directory_of(const std::string& path);

// How replace_file writes the new file.
struct file_replacement {
    // The name it is written under first, beside the file: removed first,
    // then made anew, never through a symbolic link.
    std::string temporary;
    // Its permissions: less the umask, or exactly these with exact_mode.
    mode_t mode = 0600;
    bool exact_mode = false;
    // Whether the text and the rename reach the disk before it returns.
    bool durable = false;
};

// Replaces the file at path with text, written as how says and renamed
// over it; false, with the system's words in problem, when it cannot be
// (the temporary file is then removed).
bool replace_file(const std::string& path, std::string_view text, const file_replacement& how,
                  std::string& problem);
