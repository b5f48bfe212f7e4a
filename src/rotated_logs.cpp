#include "rotated_logs.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <string_view>
#include <tuple>

namespace {

// The endings of the compressed forms the reader decodes.
constexpr std::string_view COMPRESSED_ENDINGS[] = {".gz", ".xz", ".zst", ".bz2"};
// More digits than a rotation number has are a date.
constexpr std::size_t MOST_NUMBER_DIGITS = 6;
constexpr std::size_t LEAST_DATE_DIGITS = 8;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_regular_file(const std::string& path)
{
    struct stat file {};
    return stat(path.c_str(), &file) == 0 && S_ISREG(file.st_mode);
}

// A rotated file found, with the order it takes in the set.
struct found_file {
    rotated_name name;
    std::string path;
};

// Older first: numbered files by falling number, then dated ones by date;
// a plain file before its compressed twin.
bool older(const found_file& a, const found_file& b)
{
    const bool a_dated = a.name.number < 0;
    const bool b_dated = b.name.number < 0;
    if (a_dated != b_dated)
        return !a_dated;
    if (a_dated) {
        return std::tie(a.name.date, a.name.compressed) < std::tie(b.name.date, b.name.compressed);
    }
    return std::make_tuple(-a.name.number, a.name.compressed) <
           std::make_tuple(-b.name.number, b.name.compressed);
}

}  // namespace

bool read_rotated_name(const std::string& name, const std::string& base, rotated_name& rotated)
{
    if (name.size() <= base.size() + 1 || !name.starts_with(base))
        return false;
    std::string_view rest = std::string_view(name).substr(base.size());
    rotated = rotated_name{};
    for (const std::string_view ending : COMPRESSED_ENDINGS) {
        if (rest.size() > ending.size() && rest.ends_with(ending)) {
            rest.remove_suffix(ending.size());
            rotated.compressed = true;
            break;
        }
    }
    const char separator = rest.front();
    rest.remove_prefix(1);
    if (rest.empty() || !is_digit(rest.front()) || !is_digit(rest.back()))
        return false;
    if (separator == '.') {
        if (rest.size() > MOST_NUMBER_DIGITS || !std::all_of(rest.begin(), rest.end(), is_digit))
            return false;
        rotated.number = std::stoll(std::string(rest));
        return true;
    }
    if (separator != '-')
        return false;
    const auto digits = std::count_if(rest.begin(), rest.end(), is_digit);
    if (static_cast<std::size_t>(digits) < LEAST_DATE_DIGITS ||
        !std::all_of(rest.begin(), rest.end(), [](char c) { return is_digit(c) || c == '-'; }))
        return false;
    rotated.date = rest;
    return true;
}

std::vector<std::string> rotated_set(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string prefix = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::vector<found_file> found;
    if (!base.empty()) {
        if (DIR* const listing = opendir(directory.c_str())) {
            while (const dirent* entry = readdir(listing)) {
                found_file file;
                if (read_rotated_name(entry->d_name, base, file.name)) {
                    file.path = prefix + entry->d_name;
                    if (is_regular_file(file.path))
                        found.push_back(std::move(file));
                }
            }
            closedir(listing);
        }
    }
    std::sort(found.begin(), found.end(), older);
    std::vector<std::string> set;
    for (std::size_t i = 0; i < found.size(); ++i) {
        // A compressed twin right after its plain file is the same log
        // being compressed.
        const bool twin = i > 0 && found[i].name.compressed && !found[i - 1].name.compressed &&
                          found[i].name.number == found[i - 1].name.number &&
                          found[i].name.date == found[i - 1].name.date;
        if (!twin)
            set.push_back(found[i].path);
    }
    if (is_regular_file(path))
        set.push_back(path);
    return set;
}
