#include "replaced_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool write_whole(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool replace_file(const std::string& path, std::string_view text, const file_replacement& how,
                  std::string& problem)
{
    (void)unlink(how.temporary.c_str());
    const int fd =
        open(how.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, how.mode);
    if (fd < 0) {
        problem = std::strerror(errno);
        return false;
    }
    if (how.exact_mode)
        (void)fchmod(fd, how.mode);
    const bool written = write_whole(fd, text) && (!how.durable || fsync(fd) == 0);
    const int error_number = errno;
    if (close(fd) != 0 || !written) {
        problem = std::strerror(written ? errno : error_number);
        (void)unlink(how.temporary.c_str());
        return false;
    }
    if (rename(how.temporary.c_str(), path.c_str()) != 0) {
        problem = std::strerror(errno);
        (void)unlink(how.temporary.c_str());
        return false;
    }
    if (how.durable) {
        // The rename itself reaches the disk with its directory.
        const int directory = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directory >= 0) {
            (void)fsync(directory);
            (void)close(directory);
        }
    }
    return true;
}
