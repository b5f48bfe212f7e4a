#include "history.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace {

using json = nlohmann::ordered_json;

constexpr char FORMAT[] = "tamberlo_orvel_verify checkpoint";
constexpr int VERSION = 1;
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

std::string hex_of(const unsigned char* bytes, std::size_t size)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0xF];
    }
    return hex;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::vector<unsigned char> bytes_of_hex(const std::string& hex, const char* what)
{
    require(hex.size() % 2 == 0, what);
    std::vector<unsigned char> bytes(hex.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = hex_digit(hex[2 * i]);
        const int low = hex_digit(hex[2 * i + 1]);
        require(high >= 0 && low >= 0, what);
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return bytes;
}

std::string hex_of(const sha256_digest& digest) { return hex_of(digest.data(), digest.size()); }

sha256_digest digest_of_hex(const std::string& hex, const char* what)
{
    const std::vector<unsigned char> bytes = bytes_of_hex(hex, what);
    sha256_digest digest{};
    require(bytes.size() == digest.size(), what);
    std::copy(bytes.begin(), bytes.end(), digest.begin());
    return digest;
}

// The recorded numbers, compressed: a log's numbers come in long runs.
std::string packed_bitmap(const seq_tracker& tracker)
{
    std::vector<unsigned char> packed(compressBound(SEQ_BITMAP_BYTES));
    uLongf size = packed.size();
    if (compress2(packed.data(), &size, tracker.seq_bitmap, SEQ_BITMAP_BYTES, 9) != Z_OK)
        throw std::bad_alloc();
    return hex_of(packed.data(), size);
}

void unpack_bitmap(const std::string& hex, seq_tracker& tracker)
{
    const std::vector<unsigned char> packed = bytes_of_hex(hex, "sequence.recorded");
    uLongf size = SEQ_BITMAP_BYTES;
    require(uncompress(tracker.seq_bitmap, &size, packed.data(), packed.size()) == Z_OK &&
                size == SEQ_BITMAP_BYTES,
            "sequence.recorded");
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
            {"node_lines", lines}};
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
    json first_seen = json::array();
    for (const first_seen_run& run : facts.first_seen)
        first_seen.push_back(json::array({run.number, run.count, run.log, run.line}));
    return {
        {"lines",
         {{"read", counts.lines_read},
          {"blank", counts.lines_blank},
          {"checked", counts.lines_checked},
          {"ok", counts.lines_ok}}},
        {"errors",
         {{"key", counts.key_errors},
          {"signature", counts.signature_errors},
          {"untrusted_key", counts.untrusted_key_errors},
          {"sequence_number", counts.sequence_number_errors},
          {"unexpected_sequence", counts.unexpected_errors},
          {"repeated_sequence", counts.repeated_errors},
          {"out_of_order", counts.out_of_order_errors}}},
        {"last_key_code", counts.last_result_code},
        {"sequence",
         {{"repeated", counts.repeated_numbers},
          {"out_of_order", counts.out_of_order_numbers},
          {"smallest", facts.tracker.seq_min},
          {"largest", facts.tracker.seq_max},
          {"recorded", packed_bitmap(facts.tracker)}}},
        {"keys", keys},
        {"first_seen", first_seen},
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

history_log read_log(const json& entry)
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

void read_sequence(const json& sequence, ledger_state& facts)
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
}

void read_first_seen(const json& runs, std::size_t logs, ledger_state& facts)
{
    require(runs.is_array() && runs.size() <= KEPT_FIRST_SEEN_RUNS, "facts.first_seen");
    for (const json& entry : runs) {
        require(entry.is_array() && entry.size() == 4, "facts.first_seen");
        for (const json& value : entry)
            require(value.is_number_unsigned(), "facts.first_seen");
        const first_seen_run run{entry[0].get<uint32_t>(), entry[1].get<uint32_t>(),
                                 entry[2].get<uint32_t>(), entry[3].get<uint64_t>()};
        require(seq_in_range(run.number) && run.count >= 1 &&
                    run.count < SEQ_LIMIT - run.number + 1 && run.log < logs && run.line >= 1 &&
                    run.line < (uint64_t{1} << 39),
                "facts.first_seen");
        facts.first_seen.push_back(run);
    }
}

void read_facts(const json& object, std::size_t logs, ledger_state& facts)
{
    run_result& counts = facts.counts;
    const json& lines = object.at("lines");
    counts.lines_read = count_at(lines, "read");
    counts.lines_blank = count_at(lines, "blank");
    counts.lines_checked = count_at(lines, "checked");
    counts.lines_ok = count_at(lines, "ok");
    const json& errors = object.at("errors");
    counts.key_errors = count_at(errors, "key");
    counts.signature_errors = count_at(errors, "signature");
    counts.untrusted_key_errors = count_at(errors, "untrusted_key");
    counts.sequence_number_errors = count_at(errors, "sequence_number");
    counts.unexpected_errors = count_at(errors, "unexpected_sequence");
    counts.repeated_errors = count_at(errors, "repeated_sequence");
    counts.out_of_order_errors = count_at(errors, "out_of_order");
    counts.last_result_code = number_at<int32_t>(object, "last_key_code");
    require(counts.last_result_code <= 0, "facts.last_key_code");
    read_sequence(object.at("sequence"), facts);
    read_keys(object.at("keys"), counts);
    read_first_seen(object.at("first_seen"), logs, facts);
}

void read_document(const json& document, history& checkpoint)
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
    require(logs.is_array() && !logs.empty(), "logs");
    for (const json& entry : logs)
        checkpoint.logs.push_back(read_log(entry));
    require(!checkpoint.logs.back().retired, "logs.retired");
    read_facts(document.at("facts"), checkpoint.logs.size(), *checkpoint.facts);
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

bool write_whole(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// The directory a path lies in, for syncing a rename into it.
std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
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
    };
    const std::string body = document.dump(-1, ' ', true, json::error_handler_t::replace);
    document["sha256"] = digest_of_text(body);
    return document.dump(1, ' ', true, json::error_handler_t::replace) + '\n';
}

bool from_text(const std::string& text, history& checkpoint, std::string& problem)
{
    json document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object() || !document.contains("format") ||
        document["format"] != FORMAT) {
        problem = "not a checkpoint of this tool";
        return false;
    }
    if (!document.contains("version") || document["version"] != VERSION) {
        problem = "a checkpoint of another version (this tool reads version 1)";
        return false;
    }
    try {
        const std::string digest = text_at(document, "sha256");
        document.erase("sha256");
        const std::string body = document.dump(-1, ' ', true, json::error_handler_t::replace);
        require(digest_of_text(body) == digest, "sha256");
        read_document(document, checkpoint);
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
    path_ = path;
    lock_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_ < 0) {
        problem = system_words(errno);
        return open_result::failed;
    }
    lock_file_ = identity_of(lock_);
    if (flock(lock_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        problem = "another run is using it";
        return open_result::locked;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
    const std::string text = to_text(checkpoint);
    std::string temporary = path_ + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        problem = system_words(errno);
        return false;
    }
    const bool written = write_whole(fd, text) && fsync(fd) == 0;
    const int error_number = errno;
    if (close(fd) != 0 || !written) {
        problem = system_words(written ? errno : error_number);
        (void)unlink(temporary.c_str());
        return false;
    }
    if (rename(temporary.c_str(), path_.c_str()) != 0) {
        problem = system_words(errno);
        (void)unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with its directory.
    const int directory = ::open(directory_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        (void)fsync(directory);
        (void)close(directory);
    }
    return true;
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
