#include "metrics.hpp"

#include "replaced_file.hpp"
#include "texts.hpp"

namespace {

constexpr char PREFIX[] = "tamberlo_orvel_verify_";

// A label's value as the text format writes it.
std::string label_value(const std::string& value)
{
    std::string escaped;
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

class metrics_writer {
public:
    explicit metrics_writer(const std::string& log) : labels_("log=\"" + label_value(log) + "\"") {}

    // A metric's help and type, once, before its samples.
    void family(const char* name, const char* type, const char* help)
    {
        text_ += std::string("# HELP ") + PREFIX + name + " " + help + "\n";
        text_ += std::string("# TYPE ") + PREFIX + name + " " + type + "\n";
    }

    void sample(const char* name, long long value, const std::string& more_labels = "")
    {
        text_ += std::string(PREFIX) + name + "{" + labels_ + more_labels + "} " +
                 std::to_string(value) + "\n";
    }

    std::string text() const { return text_; }

private:
    const std::string labels_;
    std::string text_;
};

}  // namespace

std::string metrics_text(const std::string& log, const run_result& result,
                         const metrics_moment& moment)
{
    metrics_writer out(log);
    out.family("lines_checked_total", "counter", "Lines that reached verification.");
    out.sample("lines_checked_total", static_cast<long long>(result.lines_checked));
    out.family("lines_ok_total", "counter", "Lines verified and accepted (records ending ,OK).");
    out.sample("lines_ok_total", static_cast<long long>(result.lines_of(line_fate::ok)));
    out.family("line_errors_total", "counter", "Lines in error, by the kind of error.");
    for (const text::fate_texts& row : text::FATES) {
        if (row.fate != line_fate::ok) {
            out.sample("line_errors_total", static_cast<long long>(result.lines_of(row.fate)),
                       std::string(",kind=\"") + row.json_kind + "\"");
        }
    }
    out.family("missing_sequence_numbers", "gauge",
               "Sequence numbers missing between the smallest and the largest recorded.");
    out.sample("missing_sequence_numbers", static_cast<long long>(result.missing_numbers));
    out.family("sequence_number_max", "gauge", "The largest sequence number recorded.");
    out.sample("sequence_number_max", result.last_number.value_or(0));
    out.family("last_line_read_timestamp_seconds", "gauge",
               "When the last line was read, in Unix seconds (0 before the first).");
    out.sample("last_line_read_timestamp_seconds", moment.last_line_read.value_or(0));
    out.family("last_update_timestamp_seconds", "gauge",
               "When this file was written, in Unix seconds.");
    out.sample("last_update_timestamp_seconds", moment.now);
    out.family("following", "gauge", "1 while the run follows its log as it grows.");
    out.sample("following", moment.following ? 1 : 0);
    return out.text();
}

bool write_metrics(const std::string& path, const std::string& text, std::string& problem)
{
    file_replacement how;
    how.temporary = path + ".tmp";
    // Counts, not secrets: readable by a collector that runs as another
    // user, whatever the run's umask.
    how.mode = 0644;
    how.exact_mode = true;
    return replace_file(path, text, how, problem);
}
