// Arbitrary bytes as a checkpoint file through its parser. A JSON object
// is also given again with its "sha256" field made right, so that mutated
// fields get past the document's own digest to the parser behind it.
// Checked on every input: a refusal says why, and a checkpoint that is
// accepted is written back by to_text into a text that reads back to the
// same text, so that a run never writes a checkpoint the next run refuses.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "history.hpp"
#include "signature_check_digest.hpp"

namespace {

// As the checkpoint file reads it: keys in the order they came.
using json = nlohmann::ordered_json;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

std::string hex_of(const sha256_digest& digest)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

// The text as a document whose "sha256" is the digest that from_text
// checks: SHA-256 of the compact dump of the rest. Empty when the text is
// no JSON object.
std::string with_own_digest(const std::string& text)
{
    json document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return "";
    document.erase("sha256");
    const std::string body = document.dump(-1, ' ', true, json::error_handler_t::replace);
    sha256_stream digest;
    digest.add(body.data(), body.size());
    document["sha256"] = hex_of(digest.digest());
    return document.dump(-1, ' ', true, json::error_handler_t::replace);
}

void check(const std::string& text)
{
    history read;
    std::string problem;
    if (!from_text(text, read, problem)) {
        require(!problem.empty());
        return;
    }
    const std::string written = to_text(read);
    history again;
    require(from_text(written, again, problem));
    require(to_text(again) == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    check(text);
    const std::string sealed = with_own_digest(text);
    if (!sealed.empty() && sealed != text)
        check(sealed);
    return 0;
}
