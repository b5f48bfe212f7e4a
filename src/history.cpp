#include "history.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "hex.hpp"
#include "replaced_file.hpp"
#include "texts.hpp"

namespace {

using json = nlohmann::ordered_json;

constexpr char FORMAT[] = "tamberlo_orvel_verify checkpoint";
// Version 2 packs its lists of numbers and keeps what judging the history
// again needs; version 1 (1.2.0) is still read.
constexpr int VERSION = 2;
constexpr int FIRST_VERSION = 1;
// A checkpoint stays far smaller (see log_digest.hpp): anything larger is
// not one.
constexpr std::size_t MAX_CHECKPOINT_BYTES = std::size_t{64} << 20;

// A field that is not what the format says.
struct bad_field : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void require(bool condition, const char* what)
{
    if (!condition)
        throw bad_field(what);
}

std::vector<unsigned char> bytes_of_hex(const std::string& hex, const char* what)
{
    std::vector<unsigned char> bytes;
    require(::bytes_of_hex(hex, bytes), what);
    return bytes;
}

sha256_digest digest_of_hex(const std::string& hex, const char* what)
{
    sha256_digest digest{};
    require(::bytes_of_hex(hex, digest), what);
    return digest;
}

// Bytes compressed with zlib, as hex.
std::string packed(const unsigned char* bytes, std::size_t size)
{
    std::vector<unsigned char> out(compressBound(size));
    uLongf out_size = out.size();
    if (compress2(out.data(), &out_size, bytes, size, 9) != Z_OK)
        throw std::bad_alloc();
    return hex_of(out.data(), out_size);
}

// The bytes of packed(), at most limit of them.
std::vector<unsigned char> unpacked(const std::string& hex, std::size_t limit, const char* what)
{
    const std::vector<unsigned char> in = bytes_of_hex(hex, what);
    std::vector<unsigned char> out;
    z_stream stream{};
    require(inflateInit(&stream) == Z_OK, what);
    stream.next_in = const_cast<unsigned char*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    int code = Z_OK;
    unsigned char chunk[65536];
    while (code == Z_OK) {
        stream.next_out = chunk;
        stream.avail_out = sizeof chunk;
        code = inflate(&stream, Z_NO_FLUSH);
        out.insert(out.end(), chunk, chunk + (sizeof chunk - stream.avail_out));
        if (out.size() > limit)
            code = Z_DATA_ERROR;
        if (code == Z_OK && stream.avail_in == 0 && stream.avail_out != 0)
            code = Z_BUF_ERROR;  // cut short
    }
    inflateEnd(&stream);
    require(code == Z_STREAM_END && stream.avail_in == 0, what);
    return out;
}

// Numbers as LEB128 varints, compressed: lists of numbers and counts that
// may be long (a log's scattered numbers) stay small.
std::string packed_numbers(const std::vector<uint64_t>& numbers)
{
    std::vector<unsigned char> bytes;
    for (uint64_t value : numbers) {
        while (value >= 0x80) {
            bytes.push_back(static_cast<unsigned char>(value | 0x80));
            value >>= 7;
        }
        bytes.push_back(static_cast<unsigned char>(value));
    }
    return packed(bytes.data(), bytes.size());
}

std::vector<uint64_t> unpacked_numbers(const std::string& hex, std::size_t most, const char* what)
{
    constexpr std::size_t LONGEST_VARINT = 10;
    const std::vector<unsigned char> bytes = unpacked(hex, most * LONGEST_VARINT, what);
    std::vector<uint64_t> numbers;
    uint64_t value = 0;
    unsigned shift = 0;
    for (const unsigned char byte : bytes) {
        require(shift < 64, what);
        value |= uint64_t{byte & 0x7FU} << shift;
        shift += 7;
        if ((byte & 0x80U) != 0)
            continue;
        numbers.push_back(value);
        value = 0;
        shift = 0;
    }
    require(shift == 0 && numbers.size() <= most, what);
    return numbers;
}

// Counts of numbers as pairs, the numbers as steps from the one before.
std::string packed_counts(const number_counts& counts)
{
    std::vector<uint64_t> numbers;
    uint32_t before = 0;
    for (const auto& [number, lines] : counts) {
        numbers.push_back(number - before);
        numbers.push_back(lines);
        before = number;
    }
    return packed_numbers(numbers);
}

number_counts unpacked_counts(const std::string& hex, const char* what)
{
    const std::vector<uint64_t> numbers = unpacked_numbers(hex, 2 * std::size_t{SEQ_LIMIT}, what);
    require(numbers.size() % 2 == 0, what);
    number_counts counts;
    uint64_t number = 0;
    for (std::size_t i = 0; i < numbers.size(); i += 2) {
        number += numbers[i];
        require(numbers[i] > 0 &&
                    seq_in_range(static_cast<uint32_t>(std::min<uint64_t>(number, SEQ_LIMIT))) &&
                    numbers[i + 1] >= 1 && numbers[i + 1] <= UINT32_MAX,
                what);
        counts.emplace_back(static_cast<uint32_t>(number), static_cast<uint32_t>(numbers[i + 1]));
    }
    return counts;
}

// Ascending numbers as steps from the one before.
std::string packed_ascending(const std::vector<uint64_t>& numbers)
{
    std::vector<uint64_t> steps;
    uint64_t before = 0;
    for (const uint64_t number : numbers) {
        steps.push_back(number - before);
        before = number;
    }
    return packed_numbers(steps);
}

std::vector<uint64_t> unpacked_ascending(const std::string& hex, std::size_t most, uint64_t limit,
                                         const char* what)
{
    std::vector<uint64_t> numbers = unpacked_numbers(hex, most, what);
    uint64_t number = 0;
    for (uint64_t& step : numbers) {
        require(step > 0 && step <= limit - number, what);
        number += step;
        step = number;
    }
    return numbers;
}

// The recorded numbers, compressed: a log's numbers come in long runs.
void unpack_bitmap(const std::string& hex, seq_tracker& tracker)
{
    const std::vector<unsigned char> bitmap = unpacked(hex, SEQ_BITMAP_BYTES, "sequence.recorded");
    require(bitmap.size() == SEQ_BITMAP_BYTES, "sequence.recorded");
    std::copy(bitmap.begin(), bitmap.end(), tracker.seq_bitmap);
}

line_fate fate_of_kind(const std::string& kind)
{
    for (const text::fate_texts& row : text::FATES) {
        if (row.json_kind == kind && row.fate != line_fate::ok)
            return row.fate;
    }
    throw bad_field("problems.kind");
}

// ------------------------------------------------------------ writing

json log_of(const history_log& log)
{
    std::string nodes;
    json lines = json::array();
    for (const digest_node& node : log.nodes) {
        nodes += hex_of(node.sha256);
        lines.push_back(node.first_line);
    }
    return {{"path", log.path},
            {"bytes", log.bytes},
            {"lines", log.lines},
            {"ends_line", log.ends_line},
            {"tree_sha256", hex_of(log.tree)},
            {"head_sha256", hex_of(log.head)},
            {"retired", log.retired},
            {"level", log.level},
            {"nodes", nodes},
            {"node_lines", lines},
            {"failed_lines", packed_ascending(log.failed.lines)},
            {"failed_lines_complete", log.failed.complete}};
}

json problems_of(const std::vector<earlier_problem>& problems)
{
    json list = json::array();
    for (const earlier_problem& problem : problems) {
        list.push_back({{"log", problem.path},
                        {"line", problem.line},
                        {"kind", text::fate_of(problem.fate).json_kind},
                        {"code", problem.key_code},
                        {"key", problem.key ? json(hex_of(*problem.key)) : json(nullptr)},
                        {"number", problem.number},
                        {"detail", problem.detail}});
    }
    return list;
}

json facts_of(const ledger_state& facts)
{
    const run_result& counts = facts.counts;
    json keys = json::array();
    for (const key_seen& seen : counts.keys) {
        keys.push_back({{"sha256", hex_of(seen.key.sha256)},
                        {"type", seen.key.type.data()},
                        {"lines", seen.lines},
                        {"trusted", seen.trusted ? json(*seen.trusted) : json(nullptr)}});
    }
    std::vector<uint64_t> first_seen;
    uint32_t before = 0;
    for (const first_seen_run& run : facts.first_seen) {
        first_seen.insert(first_seen.end(), {run.number - before, run.count, run.log, run.line});
        before = run.number;
    }
    const std::vector<uint64_t> out_of_order_first(facts.out_of_order_first.begin(),
                                                   facts.out_of_order_first.end());
    json errors = json::object();
    for (const text::fate_texts& row : text::FATES) {
        if (row.fate != line_fate::ok)
            errors[row.json_kind] = counts.lines_of(row.fate);
    }
    return {
        {"lines",
         {{"read", counts.lines_read},
          {"blank", counts.lines_blank},
          {"checked", counts.lines_checked},
          {"ok", counts.lines_of(line_fate::ok)}}},
        {"errors", errors},
        {"last_key_code", counts.last_result_code},
        {"sequence",
         {{"repeated", counts.repeated_numbers},
          {"out_of_order", counts.out_of_order_numbers},
          {"smallest", facts.tracker.seq_min},
          {"largest", facts.tracker.seq_max},
          {"recorded", packed(facts.tracker.seq_bitmap, SEQ_BITMAP_BYTES)},
          {"extra_lines", packed_counts(facts.extra_lines)},
          {"unexpected_lines", packed_counts(facts.unexpected_lines)},
          {"out_of_order_first", packed_ascending(out_of_order_first)}}},
        {"keys", keys},
        {"first_seen", packed_numbers(first_seen)},
        {"problems", problems_of(counts.earlier_problems)},
        {"problems_omitted", counts.problems_omitted},
        {"latest_time", facts.latest_time ? json(*facts.latest_time) : json(nullptr)},
    };
}

std::string digest_of_text(const std::string& text)
{
    sha256_stream digest;
    digest.add(text.data(), text.size());
    return hex_of(digest.digest());
}

// ------------------------------------------------------------ reading

template <typename Number>
Number number_at(const json& object, const char* key)
{
    const json& value = object.at(key);
    require(value.is_number_integer(), key);
    return value.get<Number>();
}

uint64_t count_at(const json& object, const char* key)
{
    const json& value = object.at(key);
    require(value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() >= 0),
            key);
    return value.get<uint64_t>();
}

std::string text_at(const json& object, const char* key)
{
    const json& value = object.at(key);
    require(value.is_string(), key);
    return value.get<std::string>();
}

bool flag_at(const json& object, const char* key)
{
    const json& value = object.at(key);
    require(value.is_boolean(), key);
    return value.get<bool>();
}

uint64_t leaves_of(uint64_t bytes) { return (bytes + LEAF_BYTES - 1) / LEAF_BYTES; }

// What a document of version is read with.
struct reading_of {
    int version = VERSION;
    bool packed() const { return version >= 2; }
};

history_log read_log(const json& entry, reading_of as)
{
    history_log log;
    log.path = text_at(entry, "path");
    log.bytes = count_at(entry, "bytes");
    log.lines = count_at(entry, "lines");
    log.ends_line = flag_at(entry, "ends_line");
    log.tree = digest_of_hex(text_at(entry, "tree_sha256"), "logs.tree_sha256");
    log.head = digest_of_hex(text_at(entry, "head_sha256"), "logs.head_sha256");
    log.retired = flag_at(entry, "retired");
    log.level = static_cast<unsigned>(count_at(entry, "level"));
    require(log.level < 64, "logs.level");
    const std::vector<unsigned char> nodes = bytes_of_hex(text_at(entry, "nodes"), "logs.nodes");
    const json& lines = entry.at("node_lines");
    require(lines.is_array() && nodes.size() == lines.size() * 32, "logs.nodes");
    // A retired log keeps no nodes; any other has the nodes of its bytes.
    const uint64_t span = uint64_t{1} << log.level;
    const uint64_t expected = log.retired ? 0 : (leaves_of(log.bytes) + span - 1) / span;
    require(lines.size() == expected && log.lines <= log.bytes, "logs.nodes");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        digest_node node;
        std::copy(nodes.begin() + static_cast<long>(32 * i),
                  nodes.begin() + static_cast<long>(32 * (i + 1)), node.sha256.begin());
        require(lines[i].is_number_unsigned(), "logs.node_lines");
        node.first_line = lines[i].get<uint64_t>();
        log.nodes.push_back(node);
    }
    if (!log.retired)
        require(tree_hash(log.nodes) == log.tree, "logs.tree_sha256");
    if (as.packed()) {
        log.failed.lines = unpacked_ascending(text_at(entry, "failed_lines"), KEPT_FAILED_LINES,
                                              log.lines, "logs.failed_lines");
        log.failed.complete = flag_at(entry, "failed_lines_complete");
    } else {
        // Not kept then: a line that fails now may have failed then.
        log.failed.complete = false;
    }
    return log;
}

void read_keys(const json& keys, run_result& counts)
{
    require(keys.is_array(), "facts.keys");
    for (const json& entry : keys) {
        key_seen seen;
        seen.key.sha256 = digest_of_hex(text_at(entry, "sha256"), "keys.sha256");
        const std::string type = text_at(entry, "type");
        require(type.size() < seen.key.type.size(), "keys.type");
        std::copy(type.begin(), type.end(), seen.key.type.begin());
        seen.lines = count_at(entry, "lines");
        const json& trusted = entry.at("trusted");
        require(trusted.is_null() || trusted.is_boolean(), "keys.trusted");
        if (trusted.is_boolean())
            seen.trusted = trusted.get<bool>();
        counts.keys.push_back(seen);
    }
}

void read_sequence(const json& sequence, reading_of as, ledger_state& facts)
{
    run_result& counts = facts.counts;
    counts.repeated_numbers = count_at(sequence, "repeated");
    counts.out_of_order_numbers = count_at(sequence, "out_of_order");
    seq_tracker& tracker = facts.tracker;
    tracker.seq_min = number_at<uint32_t>(sequence, "smallest");
    tracker.seq_max = number_at<uint32_t>(sequence, "largest");
    unpack_bitmap(text_at(sequence, "recorded"), tracker);
    // The bounds are those of the numbers recorded, or of none.
    const bool none = tracker.seq_max == 0 && tracker.seq_min == UINT32_MAX;
    require(none ||
                (seq_in_range(tracker.seq_min) && seq_in_range(tracker.seq_max) &&
                 tracker.seq_min <= tracker.seq_max && seq_is_recorded(tracker, tracker.seq_min) &&
                 seq_is_recorded(tracker, tracker.seq_max)),
            "sequence.smallest");
    if (!as.packed())
        return;
    facts.extra_lines = unpacked_counts(text_at(sequence, "extra_lines"), "sequence.extra_lines");
    facts.unexpected_lines =
        unpacked_counts(text_at(sequence, "unexpected_lines"), "sequence.unexpected_lines");
    for (const uint64_t number :
         unpacked_ascending(text_at(sequence, "out_of_order_first"), SEQ_LIMIT, SEQ_LIMIT - 1,
                            "sequence.out_of_order_first"))
        facts.out_of_order_first.push_back(static_cast<uint32_t>(number));
}

void check_first_seen(const first_seen_run& run, std::size_t logs)
{
    require(seq_in_range(run.number) && run.count >= 1 && run.count < SEQ_LIMIT - run.number + 1 &&
                run.log < logs && run.line >= 1 && run.line < (uint64_t{1} << 39),
            "facts.first_seen");
}

void read_first_seen(const json& runs, std::size_t logs, reading_of as, ledger_state& facts)
{
    if (as.packed()) {
        require(runs.is_string(), "facts.first_seen");
        const std::vector<uint64_t> numbers =
            unpacked_numbers(runs.get<std::string>(), 4 * KEPT_FIRST_SEEN_RUNS, "facts.first_seen");
        require(numbers.size() % 4 == 0, "facts.first_seen");
        uint64_t number = 0;
        for (std::size_t i = 0; i < numbers.size(); i += 4) {
            number += numbers[i];
            require(number < SEQ_LIMIT && numbers[i + 1] < SEQ_LIMIT &&
                        numbers[i + 2] <= UINT32_MAX,
                    "facts.first_seen");
            const first_seen_run run{static_cast<uint32_t>(number),
                                     static_cast<uint32_t>(numbers[i + 1]),
                                     static_cast<uint32_t>(numbers[i + 2]), numbers[i + 3]};
            check_first_seen(run, logs);
            facts.first_seen.push_back(run);
        }
        return;
    }
    require(runs.is_array() && runs.size() <= KEPT_FIRST_SEEN_RUNS, "facts.first_seen");
    for (const json& entry : runs) {
        require(entry.is_array() && entry.size() == 4, "facts.first_seen");
        for (const json& value : entry)
            require(value.is_number_unsigned(), "facts.first_seen");
        const first_seen_run run{entry[0].get<uint32_t>(), entry[1].get<uint32_t>(),
                                 entry[2].get<uint32_t>(), entry[3].get<uint64_t>()};
        check_first_seen(run, logs);
        facts.first_seen.push_back(run);
    }
}

void read_problems(const json& problems, run_result& counts)
{
    require(problems.is_array() && problems.size() <= KEPT_PROBLEMS, "facts.problems");
    for (const json& entry : problems) {
        earlier_problem problem;
        problem.path = text_at(entry, "log");
        problem.line = count_at(entry, "line");
        problem.fate = fate_of_kind(text_at(entry, "kind"));
        problem.key_code = number_at<int32_t>(entry, "code");
        require(problem.key_code <= 0, "problems.code");
        const json& key = entry.at("key");
        require(key.is_null() || key.is_string(), "problems.key");
        if (key.is_string())
            problem.key = digest_of_hex(key.get<std::string>(), "problems.key");
        problem.number = number_at<uint32_t>(entry, "number");
        problem.detail = text_at(entry, "detail");
        counts.earlier_problems.push_back(std::move(problem));
    }
}

void read_facts(const json& object, std::size_t logs, reading_of as, ledger_state& facts)
{
    run_result& counts = facts.counts;
    const json& lines = object.at("lines");
    counts.lines_read = count_at(lines, "read");
    counts.lines_blank = count_at(lines, "blank");
    counts.lines_checked = count_at(lines, "checked");
    counts.lines_of(line_fate::ok) = count_at(lines, "ok");
    const json& errors = object.at("errors");
    for (const text::fate_texts& row : text::FATES) {
        // Version 1 knew the fates up to out_of_order.
        const bool known = as.packed() || row.fate <= line_fate::out_of_order;
        if (row.fate != line_fate::ok && known)
            counts.lines_of(row.fate) = count_at(errors, row.json_kind);
    }
    counts.last_result_code = number_at<int32_t>(object, "last_key_code");
    require(counts.last_result_code <= 0, "facts.last_key_code");
    read_sequence(object.at("sequence"), as, facts);
    read_keys(object.at("keys"), counts);
    read_first_seen(object.at("first_seen"), logs, as, facts);
    if (as.packed()) {
        read_problems(object.at("problems"), counts);
        counts.problems_omitted = count_at(object, "problems_omitted");
        const json& latest = object.at("latest_time");
        require(latest.is_null() || latest.is_number_integer(), "facts.latest_time");
        if (latest.is_number_integer())
            facts.latest_time = latest.get<unix_seconds>();
    }
}

void read_document(const json& document, reading_of as, history& checkpoint)
{
    require(document.is_object(), "the document");
    checkpoint.mode =
        text_at(document, "mode") == "event" ? log_mode::event : log_mode::transaction;
    require(text_at(document, "mode") == "event" || text_at(document, "mode") == "transaction",
            "mode");
    checkpoint.strict = flag_at(document, "strict");
    const json& trusted = document.at("trusted_keys");
    require(trusted.is_null() || trusted.is_string(), "trusted_keys");
    if (trusted.is_string())
        checkpoint.trusted_keys = digest_of_hex(trusted.get<std::string>(), "trusted_keys");
    const json& logs = document.at("logs");
    // A set of rotated logs that has no file yet leaves a checkpoint of no
    // log; otherwise the last log is the one that may grow.
    require(logs.is_array() && (as.packed() || !logs.empty()), "logs");
    for (const json& entry : logs)
        checkpoint.logs.push_back(read_log(entry, as));
    require(checkpoint.logs.empty() || !checkpoint.logs.back().retired, "logs.retired");
    read_facts(document.at("facts"), checkpoint.logs.size(), as, *checkpoint.facts);
    checkpoint.facts->strict = checkpoint.strict;
    if (as.packed() && document.contains("result_log_bytes")) {
        const json& bytes = document.at("result_log_bytes");
        require(bytes.is_null() || bytes.is_number_unsigned(), "result_log_bytes");
        if (bytes.is_number_unsigned())
            checkpoint.result_log_bytes = bytes.get<uint64_t>();
    }
}

// ------------------------------------------------------------ files

std::string system_words(int error_number) { return std::strerror(error_number); }

std::optional<file_identity> identity_of(int fd)
{
    struct stat file {};
    if (fstat(fd, &file) != 0)
        return std::nullopt;
    return file_identity{file.st_dev, file.st_ino};
}

bool read_whole(int fd, std::string& text, std::string& problem)
{
    char chunk[65536];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            problem = system_words(errno);
            return false;
        }
        text.append(chunk, static_cast<std::size_t>(got));
        if (text.size() > MAX_CHECKPOINT_BYTES) {
            problem = "not a checkpoint (larger than 64 MiB)";
            return false;
        }
    }
}

// Where a path leads through symbolic links, also to a file that is not
// there yet; the path itself when it is no link.
std::string through_links(const std::string& path)
{
    std::string at = path;
    // As many links as the system follows in one path.
    constexpr int MOST_LINKS = 40;
    for (int followed = 0; followed < MOST_LINKS; ++followed) {
        struct stat named {};
        if (lstat(at.c_str(), &named) != 0 || !S_ISLNK(named.st_mode))
            return at;
        std::string target(static_cast<std::size_t>(named.st_size) + 1, '\0');
        const ssize_t length = readlink(at.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size())
            return at;
        target.resize(static_cast<std::size_t>(length));
        if (target.front() != '/')
            target = directory_of(at).append("/").append(target);
        at = target;
    }
    return at;
}

constexpr char UNFINISHED_SUFFIX[] = ".tmp";

// Whether name is what 1.2.0 named a temporary checkpoint beside base:
// base, a dot and six letters or digits.
bool is_old_temporary_name(const std::string& name, const std::string& base)
{
    constexpr std::size_t RANDOM_LETTERS = 6;
    if (name.size() != base.size() + 1 + RANDOM_LETTERS || !name.starts_with(base + "."))
        return false;
    return std::all_of(name.end() - RANDOM_LETTERS, name.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

// The temporary files that writes of this checkpoint left when a kill or a
// power cut ended them: the one name this tool writes, and those of 1.2.0
// that hold the start of a checkpoint.
void remove_unfinished_writes(const std::string& path)
{
    (void)unlink((path + UNFINISHED_SUFFIX).c_str());
    const std::string directory = directory_of(path);
    const std::size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR* const listing = opendir(directory.c_str());
    if (listing == nullptr)
        return;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (!is_old_temporary_name(name, base))
            continue;
        const std::string old = std::string(directory).append("/").append(name);
        const int fd = ::open(old.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        char start[64] = {};
        struct stat file {};
        const ssize_t got =
            fstat(fd, &file) == 0 && S_ISREG(file.st_mode) ? read(fd, start, sizeof start - 1) : -1;
        (void)close(fd);
        if (got > 0 && std::strstr(start, FORMAT) != nullptr)
            (void)unlink(old.c_str());
    }
    closedir(listing);
}

}  // namespace

std::string to_text(const history& checkpoint)
{
    json logs = json::array();
    for (const history_log& log : checkpoint.logs)
        logs.push_back(log_of(log));
    json document = {
        {"format", FORMAT},
        {"version", VERSION},
        {"mode", checkpoint.mode == log_mode::event ? "event" : "transaction"},
        {"strict", checkpoint.strict},
        {"trusted_keys",
         checkpoint.trusted_keys ? json(hex_of(*checkpoint.trusted_keys)) : json(nullptr)},
        {"logs", logs},
        {"facts", facts_of(*checkpoint.facts)},
        {"result_log_bytes",
         checkpoint.result_log_bytes ? json(*checkpoint.result_log_bytes) : json(nullptr)},
    };
    const std::string body = document.dump(-1, ' ', true, json::error_handler_t::replace);
    document["sha256"] = digest_of_text(body);
    // One line: the file stays small (see log_digest.hpp), and a tool that
    // reads JSON shows it as it likes.
    return document.dump(-1, ' ', true, json::error_handler_t::replace) + '\n';
}

bool from_text(const std::string& text, history& checkpoint, std::string& problem)
{
    json document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object() || !document.contains("format") ||
        document["format"] != FORMAT) {
        problem = "not a checkpoint of this tool";
        return false;
    }
    const json version = document.contains("version") ? document["version"] : json();
    if (version != FIRST_VERSION && version != VERSION) {
        problem = "a checkpoint of another version (this tool reads versions 1 and 2)";
        return false;
    }
    try {
        const std::string digest = text_at(document, "sha256");
        document.erase("sha256");
        const std::string body = document.dump(-1, ' ', true, json::error_handler_t::replace);
        require(digest_of_text(body) == digest, "sha256");
        read_document(document, reading_of{version.get<int>()}, checkpoint);
    } catch (const bad_field& field) {
        problem = std::string("damaged checkpoint (") + field.what() + ")";
        return false;
    } catch (const json::exception&) {
        problem = "damaged checkpoint (a field is missing or of the wrong kind)";
        return false;
    }
    return true;
}

checkpoint_file::~checkpoint_file()
{
    if (lock_ >= 0)
        (void)close(lock_);
}

checkpoint_file::open_result checkpoint_file::open(const std::string& path, history& checkpoint,
                                                   std::string& problem)
{
    // A checkpoint reached through a symbolic link is read and replaced
    // where the link leads, so that the link goes on naming it.
    path_ = through_links(path);
    struct stat named {};
    if (lstat(path_.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) {
        problem = "not a file";
        return open_result::failed;
    }
    lock_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_ < 0) {
        problem = system_words(errno);
        return open_result::failed;
    }
    lock_file_ = identity_of(lock_);
    if (flock(lock_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        problem = "another run is using it";
        return open_result::locked;
    }
    remove_unfinished_writes(path_);
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT)
        return open_result::first_run;
    if (fd < 0) {
        problem = system_words(errno);
        return open_result::failed;
    }
    file_ = identity_of(fd);
    struct stat file {};
    std::string text;
    const bool read = fstat(fd, &file) == 0 && S_ISREG(file.st_mode)
                          ? read_whole(fd, text, problem)
                          : (problem = "not a file", false);
    (void)close(fd);
    if (!read)
        return open_result::failed;
    return from_text(text, checkpoint, problem) ? open_result::opened : open_result::malformed;
}

bool checkpoint_file::write(const history& checkpoint, std::string& problem)
{
    // One temporary name, under the lock: a write that a kill cut short
    // leaves it, and the next run removes it.
    file_replacement how;
    how.temporary = path_ + UNFINISHED_SUFFIX;
    how.durable = true;
    return replace_file(path_, to_text(checkpoint), how, problem);
}

std::vector<file_identity> checkpoint_file::identities() const
{
    std::vector<file_identity> identities;
    if (file_)
        identities.push_back(*file_);
    if (lock_file_)
        identities.push_back(*lock_file_);
    return identities;
}
