// A file as the system names it, whatever path leads to it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

struct file_identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const file_identity&) const = default;
};

// Whether path (through symbolic links) names the file identity now.
inline bool names_file(const std::string& path, const file_identity& identity)
{
    struct stat named {};
    return stat(path.c_str(), &named) == 0 && file_identity{named.st_dev, named.st_ino} == identity;
}
