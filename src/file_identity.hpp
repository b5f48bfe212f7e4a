// A file as the system names it, whatever path leads to it.
#pragma once

#include <sys/types.h>

struct file_identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const file_identity&) const = default;
};
