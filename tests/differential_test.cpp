// The kept keys and tables must never change a verdict, and the worker
// count must never change a byte of output: each fast way is compared with
// the plain one. The tests that bring many keys also run with workers that
// keep only four keys each (small_store.*, ORVEL_TEST_KEY_STORE_KEYS=4),
// where whole runs evict keys and see them again all the time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "check_pool.hpp"
#include "fixtures.hpp"
#include "in_process.hpp"
#include "line_format.hpp"
#include "signature_check.hpp"
#include "signature_check_key_store.hpp"
#include "test_support.hpp"
#include "tool_runner.hpp"

namespace {

using fixtures::from_hex;
using fixtures::key_field;
using fixtures::signature;
using fixtures::to_hex;

const std::string DATA = "tx/0/1/2/3/4/5/1";

// Order of secp256r1, for signatures that are valid but rewritten (n - s).
const std::string P256_ORDER_HEX =
    "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";

// The keys and curves these checks keep from one to the next, as a worker's
// (a small store where ORVEL_TEST_KEY_STORE_KEYS asks for one).
check_state& kept_state()
{
    static check_state state(test_key_store());
    return state;
}

// Compares every check method on one line. kept_tables runs twice: the
// first builds the kept key's own table, the second uses it.
void expect_same_verdicts(const std::string& key, const std::string& data, const std::string& sig)
{
    const line_verdict plain = check_line_signature_by(kept_state(), check_method::plain,
                                                       key.c_str(), data.c_str(), sig.c_str());
    for (const check_method method :
         {check_method::kept_keys, check_method::kept_tables, check_method::kept_tables}) {
        const line_verdict kept =
            check_line_signature_by(kept_state(), method, key.c_str(), data.c_str(), sig.c_str());
        ASSERT_EQ(kept.kind, plain.kind) << "method " << static_cast<int>(method) << " key "
                                         << key.substr(0, 60) << " sig " << sig;
        ASSERT_EQ(kept.key_code, plain.key_code);
    }
    // The check of a large line, with its fields moved apart where they
    // stand and the armour written around the key.
    std::string line = key + '\0' + data + '\0' + sig + '\0';
    line.append(LINE_TO_CHECK_SLACK, '#');
    char* const key_field = line.data();
    char* const data_field = key_field + key.size() + 1;
    const line_fields fields{key_field, data_field, data_field + data.size() + 1};
    std::optional<line_to_check> in_place =
        line_to_check::in_place(fields, line.data(), line.data() + line.size());
    ASSERT_TRUE(in_place);
    const line_verdict verdict =
        check_line_signature_by(kept_state(), check_method::plain, *in_place, {});
    ASSERT_EQ(verdict.kind, plain.kind);
    ASSERT_EQ(verdict.key_code, plain.key_code);
}

// Big-endian byte strings as numbers: a + b, one byte longer than the longer.
std::string add(std::string a, std::string b)
{
    const std::size_t size = std::max(a.size(), b.size()) + 1;
    a.insert(0, size - a.size(), '\0');
    b.insert(0, size - b.size(), '\0');
    std::string out(size, '\0');
    int carry = 0;
    for (std::size_t i = size; i-- > 0;) {
        const int d = static_cast<unsigned char>(a[i]) + static_cast<unsigned char>(b[i]) + carry;
        carry = d > 255;
        out[i] = static_cast<char>(d & 0xff);
    }
    return out;
}

// Big-endian byte strings as numbers: a - b for a >= b.
std::string subtract(const std::string& a, std::string b)
{
    while (b.size() > 1 && b[0] == '\0')
        b.erase(0, 1);
    b.insert(0, a.size() - b.size(), '\0');
    std::string out(a.size(), '\0');
    int borrow = 0;
    for (std::size_t i = a.size(); i-- > 0;) {
        int d = static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]) - borrow;
        borrow = d < 0;
        out[i] = static_cast<char>(d + (borrow ? 256 : 0));
    }
    return out;
}

std::string der(unsigned char tag, const std::string& content)
{
    std::string out(1, static_cast<char>(tag));
    if (content.size() < 128) {
        out += static_cast<char>(content.size());
    } else {
        out += '\x81';
        out += static_cast<char>(content.size());
    }
    return out + content;
}

// A minimal DER INTEGER for a non-negative big-endian number.
std::string der_integer(std::string value)
{
    while (value.size() > 1 && value[0] == '\0' && !(static_cast<unsigned char>(value[1]) & 0x80))
        value.erase(0, 1);
    if (value.empty() || (static_cast<unsigned char>(value[0]) & 0x80))
        value.insert(0, 1, '\0');
    return der(0x02, value);
}

// r and s of a short DER signature (lengths below 128).
std::pair<std::string, std::string> r_and_s(const std::string& sig)
{
    const std::size_t r_len = static_cast<unsigned char>(sig[3]);
    const std::string r = sig.substr(4, r_len);
    const std::size_t s_at = 4 + r_len;
    const std::size_t s_len = static_cast<unsigned char>(sig[s_at + 1]);
    return {r, sig.substr(s_at + 2, s_len)};
}

std::string ecdsa_signature(const std::string& r_integer, const std::string& s_integer)
{
    return to_hex(der(0x30, r_integer + s_integer));
}

TEST(Differential, EveryFixtureKeyAndSignature)
{
    std::ifstream keys(std::string(FIXTURE_DIR) + "/keys.txt");
    std::string name, field;
    while (keys >> name >> field) {
        SCOPED_TRACE(name);
        for (const std::string& signer : {std::string("secp256r1"), std::string("rsa2048"),
                                          name.substr(name.rfind('_') + 1), name})
            try {
                expect_same_verdicts(field, DATA, signature(signer, DATA));
            } catch (const std::runtime_error&) {
                // That signer has no fixture signature.
            }
    }
}

TEST(Differential, MutatedEcdsaSignatures)
{
    const std::string order = from_hex(P256_ORDER_HEX);
    std::mt19937 random(12345);
    for (const std::string key_name :
         {"secp256r1", "explicit_G02_secp256r1", "secp384r1", "secp256k1"}) {
        SCOPED_TRACE(key_name);
        const std::string signer = key_name.substr(key_name.rfind('_') + 1);
        const std::string& key = key_field(key_name);
        for (const std::string& data : {DATA, std::string("ev/1/x")}) {
            const std::string sig = from_hex(signature(signer, data));
            const auto [r, s] = r_and_s(sig);
            std::vector<std::string> variants = {
                to_hex(sig),
                ecdsa_signature(der(0x02, s), der(0x02, r)),                         // swapped
                ecdsa_signature(der(0x02, r), der_integer(std::string(1, '\0'))),    // s = 0
                ecdsa_signature(der_integer(std::string(1, '\0')), der(0x02, s)),    // r = 0
                ecdsa_signature(der(0x02, r), der(0x02, r)),                         // s = r
                ecdsa_signature(der(0x02, std::string(2, '\0') + r), der(0x02, s)),  // BER zeros
                to_hex(std::string("\x30\x81", 2) + sig.substr(1)),  // long-form length
                to_hex(sig + std::string(1, '\0')),                  // trailing byte
                ecdsa_signature(der(0x02, r), der(0x02, s) + std::string(1, '\0')),  // s, 00
                // A SEQUENCE that holds r only, s after it.
                to_hex(std::string(1, '\x30') + static_cast<char>(r.size() + 2) + sig.substr(2)),
                to_hex(sig.substr(0, sig.size() - 1)),  // cut short
                "",
            };
            if (signer == "secp256r1") {
                variants.push_back(ecdsa_signature(der(0x02, r), der_integer(subtract(order, s))));
                variants.push_back(ecdsa_signature(der(0x02, r), der_integer(order)));  // s = n
                std::string n_plus_one = order;
                n_plus_one.back() = static_cast<char>(n_plus_one.back() + 1);
                variants.push_back(ecdsa_signature(der(0x02, r), der_integer(n_plus_one)));
                variants.push_back(ecdsa_signature(der_integer(order), der(0x02, s)));  // r = n
                variants.push_back(ecdsa_signature(der(0x02, r), der_integer(add(s, order))));
            }
            for (int i = 0; i < 200; ++i) {
                std::string flipped = sig;
                flipped[random() % flipped.size()] ^= static_cast<char>(1U << (random() % 8));
                variants.push_back(to_hex(flipped));
            }
            for (const std::string& variant : variants)
                expect_same_verdicts(key, data, variant);
        }
    }
}

// For DATA, r = 1 and s = 1 make u1 G + u2 Q the point at infinity under this
// key, whose private key is n - SHA-256(DATA) (see make_fixtures.py): no x to
// compare with r, so it must not verify.
TEST(Differential, SumAtInfinity)
{
    const std::string one = der_integer(std::string(1, '\x01'));
    expect_same_verdicts(key_field("sum_zero_secp256r1"), DATA, ecdsa_signature(one, one));
    EXPECT_EQ(check_line_signature(kept_state(), key_field("sum_zero_secp256r1").c_str(),
                                   DATA.c_str(), ecdsa_signature(one, one).c_str())
                  .kind,
              check_verdict::bad_signature);
}

// A store of three keys, six keys in turn: keys are evicted, parsed again
// and given a new point table, and a kept key's table serves its later
// lines; every verdict is the plain check's.
TEST(Differential, SmallStoreEvictsAndReusesTables)
{
    struct store_key {
        std::string name;
        std::string signer;
        bool ecdsa;  // checked with a point table of its own
    };
    const std::vector<store_key> keys = {
        {"secp256r1", "secp256r1", true},
        {"secp384r1", "secp384r1", true},
        {"explicit_G02_secp256k1", "secp256k1", true},
        {"ecdh_secp256r1", "secp256r1", false},
        {"rsa2048", "rsa2048", false},
        {"brainpoolP256r1", "brainpoolP256r1", true},
    };
    check_state store({3, std::size_t{1} << 30});
    uint64_t ecdsa_parses = 0;
    for (int round = 0; round < 3; ++round) {
        for (const auto& [name, signer, ecdsa] : keys) {
            SCOPED_TRACE(name);
            const std::string& key = key_field(name);
            const std::string sig = from_hex(signature(signer, DATA));
            std::string flipped = sig;
            flipped[sig.size() / 2] ^= 0x10;
            // Each key on four lines in a row: the first parses it, the
            // others find it.
            for (const std::string& variant :
                 {to_hex(sig), to_hex(flipped), to_hex(sig), std::string("00")}) {
                const uint64_t parsed = store.keys.counts.parsed;
                const line_verdict kept =
                    check_line_signature_by(store, check_method::kept_tables, key.c_str(),
                                            DATA.c_str(), variant.c_str());
                const line_verdict plain =
                    check_line_signature_by(kept_state(), check_method::plain, key.c_str(),
                                            DATA.c_str(), variant.c_str());
                ASSERT_EQ(kept.kind, plain.kind) << variant;
                ASSERT_EQ(kept.key_code, plain.key_code);
                if (store.keys.counts.parsed > parsed && ecdsa)
                    ++ecdsa_parses;
            }
        }
    }
    // Six keys through three places: every round parses every key again.
    EXPECT_EQ(store.keys.counts.parsed, 3U * keys.size());
    EXPECT_EQ(store.keys.counts.dropped, 3U * keys.size() - 3U);
    EXPECT_EQ(store.keys.counts.found, 3U * keys.size() * 3U);
    // One table per ECDSA key parsed, used by its three later lines.
    EXPECT_EQ(store.keys.counts.tables, ecdsa_parses);
    EXPECT_EQ(ecdsa_parses, 3U * 4U);
}

// Every line of the shared corpus, where it is present.
TEST(Differential, SharedCorpusLines)
{
    const std::filesystem::path corpus = CORPUS_DIR "/wycheproof";
    if (!std::filesystem::is_directory(corpus))
        GTEST_SKIP() << "no corpus at " << corpus;
    // Every line goes through the whole tool in the corpus check; here a
    // sample keeps the suite quick (ORVEL_DIFFERENTIAL_STRIDE=1 takes all).
    const char* const stride_setting = std::getenv("ORVEL_DIFFERENTIAL_STRIDE");
    const int stride = stride_setting != nullptr ? std::atoi(stride_setting) : 5;
    int lines = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        if (entry.path().extension() != ".log")
            continue;
        std::ifstream log(entry.path());
        std::string line;
        while (std::getline(log, line)) {
            if (lines++ % std::max(stride, 1) != 0)
                continue;
            const std::size_t first = line.find(',');
            const std::size_t second = line.find(',', first + 1);
            const std::string sig = second == std::string::npos ? "" : line.substr(second + 1);
            expect_same_verdicts(line.substr(0, first), line.substr(first + 1, second - first - 1),
                                 sig);
        }
    }
    EXPECT_GT(lines, 14000);
}

// A line laid out where it stands needs no more room than the slack after
// it, whatever shape its fields take, and keeps every field's bytes.
TEST(LineToCheck, InPlaceFitsEveryShapeOfLineInTheSlack)
{
    const std::string long_key(5000, 'K');
    const std::string lines[] = {
        "key,data,sig",
        "key",  // data and signature absent: they share the line's NUL
        "key,data",
        ",,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,key,data,sig",  // the key starts far in
        "k,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,d,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,s",
        long_key + ",d," + long_key,
        "",
        ",,,",
    };
    for (const std::string& text : lines) {
        SCOPED_TRACE(text.substr(0, 60));
        // Exactly as large as promised, so that the sanitizers see a write
        // past it.
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        buffer.resize(buffer.size() + LINE_TO_CHECK_SLACK, '#');
        const line_fields fields = split_line(buffer.data());
        const std::string key = fields.key;
        const std::string data = fields.data;
        const std::string sig = fields.signature;
        std::optional<line_to_check> line =
            line_to_check::in_place(fields, buffer.data(), buffer.data() + buffer.size());
        ASSERT_TRUE(line);
        EXPECT_EQ(std::string(line->key(), line->key_length()), key);
        EXPECT_EQ(line->data(), data);
        EXPECT_EQ(line->signature(), sig);
        std::size_t length = 0;
        const std::string armoured = line->armour_key(&length);
        EXPECT_EQ(armoured, KEY_ARMOUR_BEGIN + key + KEY_ARMOUR_END);
        EXPECT_EQ(armoured.size(), length);
        EXPECT_EQ(line->data(), data);
        EXPECT_EQ(line->signature(), sig);
    }
}

// One in-process run: console, out.log and status.
struct run_output {
    std::string console;
    std::string result_log;
    int exit_code;
};

run_output run_logged(const std::string& log, bool event_log, unsigned workers,
                      const std::vector<std::string>& options = {})
{
    const scratch_dir dir;
    dir.write("log.txt", log);
    std::vector<std::string> args = {"log.txt"};
    args.insert(args.end(), options.begin(), options.end());
    if (event_log)
        args.emplace_back("-evl");
    const tool_run run = run_in_process(dir, args, {workers, test_key_store()});
    return {run.console, run.result_log, run.exit_code};
}

TEST(Differential, KeysEvictedAndSeenAgainKeepTheirVerdicts)
{
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"secp256r1", "secp256r1"},
        {"rsa2048", "rsa2048"},
        {"secp384r1", "secp384r1"},
        {"explicit_G04_secp256k1", "secp256k1"},
        {"brainpoolP256r1", "brainpoolP256r1"},
        {"rsa1024", "rsa1024"},
        {"secp224r1", "secp224r1"},
        {"explicit_G02_secp192r1", "secp192r1"},
        {"secp521r1", "secp521r1"},
        {"secp192k1", "secp192k1"},
        {"secp224k1", "secp224k1"},
        {"rsa512", "rsa512"},
        {"brainpoolP384r1", "brainpoolP384r1"},
        {"brainpoolP512r1", "brainpoolP512r1"},
        {"ecdh_secp256r1", "secp256r1"},
        {"rsa3072", "rsa3072"},
    };
    std::string log;
    std::string records;
    int lines = 0;
    for (int round = 0; round < 3; ++round) {
        for (const auto& [name, signer] : keys) {
            const std::string data = "tx/0/1/2/3/4/5/" + std::to_string(1 + lines % 2);
            std::string sig = signature(signer, data);
            if (++lines % 5 == 0)
                sig[sig.size() / 2] = sig[sig.size() / 2] == '0' ? '1' : '0';
            const std::string& key = key_field(name);
            log += key + "," + data + "," + sig + "\n";
            const line_verdict plain =
                check_line_signature_by(kept_state(), check_method::plain, key.c_str(),
                                        data.c_str(), sig.c_str());
            records += data + (plain.kind == check_verdict::verified ? ",OK\n" : ",ERROR\n");
        }
    }
    const run_output one_thread = run_logged(log, false, 0);
    EXPECT_EQ(one_thread.result_log, records);
    for (const unsigned workers : {1U, 2U, 8U}) {
        const run_output parallel = run_logged(log, false, workers);
        EXPECT_EQ(parallel.console, one_thread.console) << workers << " workers";
        EXPECT_EQ(parallel.result_log, records) << workers << " workers";
        EXPECT_EQ(parallel.exit_code, one_thread.exit_code) << workers << " workers";
    }
}

TEST(Differential, WorkersUnderAnAddressSpaceLimitAreAsManyAsFit)
{
    constexpr uint64_t MIB_BYTES = uint64_t{1} << 20;
    const std::size_t store = THREAD_KEY_STORE.bytes;
    // Half of what is left is the workers', less one arena of 64 MiB; each
    // costs its stack, its store and 1 MiB.
    const uint64_t each = WORKER_STACK_BYTES + store + MIB_BYTES;
    EXPECT_EQ(workers_within(128, 1000 * 1000 * 1000, 20 * MIB_BYTES, store),
              ((1000 * 1000 * 1000 - 20 * MIB_BYTES) / 2 - 64 * MIB_BYTES) / each);
    EXPECT_LT(workers_within(128, 1000 * 1000 * 1000, 20 * MIB_BYTES, store), 128U);
    EXPECT_EQ(workers_within(2, 1000 * 1000 * 1000, 20 * MIB_BYTES, store), 2U);
    // Room for arenas grows with the limit: a quarter of the share.
    EXPECT_EQ(workers_within(4096, uint64_t{64} << 30, 0, store),
              ((uint64_t{32} << 30) -
               (uint64_t{32} << 30) / 4 / (64 * MIB_BYTES) * 64 * MIB_BYTES) /
                  each);
    // Too little for an arena, or nothing left: the reading thread checks.
    EXPECT_EQ(workers_within(8, 100 * MIB_BYTES, 0, store), 0U);
    EXPECT_EQ(workers_within(8, 100 * MIB_BYTES, 200 * MIB_BYTES, store), 0U);
    EXPECT_EQ(workers_within(0, uint64_t{64} << 30, 0, store), 0U);
}

TEST(Differential, WorkerCountNeverChangesTheOutput)
{
    std::mt19937 random(2026);
    std::vector<std::pair<std::string, bool>> logs = {
        {"", false}, {",,,\n", false}, {fixtures::signed_line("rsa8192", DATA) + "\n", false}};
    // Fewer random logs where every run is slow (ORVEL_WORKER_COUNT_LOGS).
    const char* const count_setting = std::getenv("ORVEL_WORKER_COUNT_LOGS");
    const int random_logs = count_setting != nullptr ? std::atoi(count_setting) : 300;
    for (int i = 0; i < random_logs; ++i) {
        const bool event_log = i % 3 == 0;
        logs.emplace_back(random_log(random, event_log), event_log);
    }
    // Every sixth log is also reported in the quiet and the JSON form.
    const std::vector<std::vector<std::string>> forms = {{}, {"--quiet"}, {"--json"}};
    for (std::size_t i = 0; i < logs.size(); ++i) {
        const auto& [log, event_log] = logs[i];
        for (std::size_t form = 0; form < (i % 6 == 0 ? forms.size() : 1); ++form) {
            const run_output one_thread = run_logged(log, event_log, 0, forms[form]);
            for (const unsigned workers : {1U, 2U, 3U, 8U}) {
                const run_output parallel = run_logged(log, event_log, workers, forms[form]);
                ASSERT_EQ(parallel.console, one_thread.console)
                    << workers << " workers, form " << form << " on:\n"
                    << log;
                ASSERT_EQ(parallel.result_log, one_thread.result_log) << workers << " workers";
                ASSERT_EQ(parallel.exit_code, one_thread.exit_code) << workers << " workers";
            }
        }
    }
}

}  // namespace
