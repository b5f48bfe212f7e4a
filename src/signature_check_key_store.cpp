#include "signature_check_key_store.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "signature_check_kept_key.hpp"

using signature_check_detail::kept_key;

namespace {

// What keys seen again may hold of a limit: all but an eighth.
std::size_t share_of_keys_seen_again(std::size_t limit) { return limit - limit / 8; }

// The heap a request of size bytes takes: glibc's malloc adds an 8-byte
// header and rounds up to 16 bytes, 32 at least.
std::size_t allocation(std::size_t size)
{
    if (size == 0)
        return 0;
    return std::max<std::size_t>(32, (size + 8 + 15) / 16 * 16);
}

std::size_t heap_of(const mbedtls_mpi& number)
{
    return allocation(number.n * sizeof(mbedtls_mpi_uint));
}

std::size_t heap_of(const mbedtls_ecp_point& point)
{
    return heap_of(point.X) + heap_of(point.Y) + heap_of(point.Z);
}

std::size_t heap_of(const mbedtls_ecp_group& group)
{
    std::size_t total = 0;
    // A loaded group's constants are the library's static data.
    if (group.h != 1) {
        total += heap_of(group.P) + heap_of(group.A) + heap_of(group.B) + heap_of(group.N) +
                 heap_of(group.G);
    }
    if (group.T != nullptr) {
        total += allocation(group.T_size * sizeof(mbedtls_ecp_point));
        for (std::size_t i = 0; i < group.T_size; ++i)
            total += heap_of(group.T[i]);
    }
    return total;
}

std::size_t heap_of(const mbedtls_rsa_context& rsa)
{
    std::size_t total = 0;
    for (const mbedtls_mpi* number : {&rsa.N, &rsa.E, &rsa.D, &rsa.P, &rsa.Q, &rsa.DP, &rsa.DQ,
                                      &rsa.QP, &rsa.RN, &rsa.RP, &rsa.RQ, &rsa.Vi, &rsa.Vf})
        total += heap_of(*number);
    return total;
}

std::size_t heap_of(const mbedtls_pk_context& key)
{
    switch (mbedtls_pk_get_type(&key)) {
        case MBEDTLS_PK_RSA:
            return allocation(sizeof(mbedtls_rsa_context)) + heap_of(*mbedtls_pk_rsa(key));
        case MBEDTLS_PK_ECKEY:
        case MBEDTLS_PK_ECKEY_DH: {
            const mbedtls_ecp_keypair& pair = *mbedtls_pk_ec(key);
            return allocation(sizeof(mbedtls_ecp_keypair)) + heap_of(pair.grp) + heap_of(pair.d) +
                   heap_of(pair.Q);
        }
        default:
            return 0;  // a key whose parse failed holds nothing
    }
}

}  // namespace

std::size_t kept_bytes(const kept_key& key)
{
    std::size_t total = allocation(sizeof(kept_key)) + heap_of(key.key.value);
    if (key.point_table)
        total += allocation(sizeof(*key.point_table)) + heap_of(key.point_table->value);
    return total;
}

std::size_t key_store::charge_of(std::string_view key_field, std::size_t key_bytes)
{
    // The key field's copy (longer than the string's own room), the list
    // node, and the index node with the bucket that points to it.
    const std::size_t short_string = 15;
    const std::size_t field =
        key_field.size() > short_string ? allocation(key_field.size() + 1) : 0;
    const std::size_t list_node = 2 * sizeof(void*) + sizeof(entry);
    const std::size_t index_node =
        sizeof(void*) + sizeof(decltype(index_)::value_type) + sizeof(std::size_t);
    return key_bytes + field + allocation(list_node) + allocation(index_node) + sizeof(void*);
}

key_store::key_store(key_store_limits limits) : limits_(limits) {}

key_store::~key_store() = default;

kept_key* key_store::find(std::string_view key_field)
{
    const auto found = index_.find(key_field);
    if (found == index_.end())
        return nullptr;
    ++counts.found;
    const entry_list::iterator at = found->second;
    if (at->seen_again) {
        again_.splice(again_.begin(), again_, at);
    } else {
        at->seen_again = true;
        once_bytes_ -= at->bytes;
        again_bytes_ += at->bytes;
        again_.splice(again_.begin(), once_, at);
        demote_while_over_share();
    }
    return at->key.get();
}

void key_store::keep(std::string_view key_field, std::unique_ptr<kept_key> key,
                     std::size_t key_bytes)
{
    const std::size_t bytes = charge_of(key_field, key_bytes);
    if (limits_.keys == 0 || bytes > limits_.bytes) {
        ++counts.too_large;
        return;
    }
    while (over_limits(size() + 1, this->bytes() + bytes))
        drop_least_useful();
    once_.push_front({std::string(key_field), std::move(key), bytes, false});
    try {
        index_.emplace(once_.front().key_field, once_.begin());
    } catch (...) {
        once_.pop_front();  // out of memory: the store stays as it was
        throw;
    }
    once_bytes_ += bytes;
}

void key_store::recharge(std::string_view key_field, std::size_t key_bytes)
{
    const auto found = index_.find(key_field);
    if (found == index_.end())
        return;
    const std::size_t bytes = charge_of(key_field, key_bytes);
    entry& kept = *found->second;
    std::size_t& list_bytes = kept.seen_again ? again_bytes_ : once_bytes_;
    list_bytes = list_bytes - kept.bytes + bytes;
    kept.bytes = bytes;
    demote_while_over_share();
    while (over_limits(size(), this->bytes()))
        drop_least_useful();
}

bool key_store::over_limits(std::size_t keys, std::size_t bytes) const
{
    return keys > limits_.keys || bytes > limits_.bytes;
}

void key_store::drop_least_useful()
{
    const bool from_once = !once_.empty();
    entry_list& from = from_once ? once_ : again_;
    const auto last = std::prev(from.end());
    (from_once ? once_bytes_ : again_bytes_) -= last->bytes;
    index_.erase(last->key_field);
    from.erase(last);
    ++counts.dropped;
}

void key_store::demote_while_over_share()
{
    while (!again_.empty() && (again_.size() > share_of_keys_seen_again(limits_.keys) ||
                               again_bytes_ > share_of_keys_seen_again(limits_.bytes))) {
        const auto last = std::prev(again_.end());
        last->seen_again = false;
        again_bytes_ -= last->bytes;
        once_bytes_ += last->bytes;
        once_.splice(once_.begin(), again_, last);
    }
}
