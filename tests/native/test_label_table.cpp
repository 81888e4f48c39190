#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "check.hpp"
#include "lib/byte_hash.hpp"
#include "lib/label_table.hpp"

using namespace vandra;
using detail::LabelTable;
using namespace std::string_literals;

namespace {

std::vector<std::string> random_keys(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::unordered_set<std::string> seen;
    std::vector<std::string> keys;
    while (keys.size() < n) {
        std::string k(rng() % 30, '\0');
        for (char& c : k) c = static_cast<char>(rng() % 256);
        if (seen.insert(k).second) keys.push_back(k);
    }
    return keys;
}

// Inserts keys[i] (copies of them, so no two views share an address) under hash_of and
// checks that the ids are 0, 1, 2, ... and come back on a second round.
template <class HashOf>
bool numbers_in_order(const std::vector<std::string>& keys, HashOf hash_of, std::size_t reserve) {
    const std::vector<std::string> again = keys;
    LabelTable t(reserve);
    bool ok = true;
    for (std::size_t i = 0; i < keys.size(); ++i)
        ok = ok && t.insert(keys[i], hash_of(keys[i])) == i;
    for (std::size_t i = 0; i < keys.size(); ++i)
        ok = ok && t.insert(again[i], hash_of(again[i])) == i;
    ok = ok && t.size() == keys.size();
    for (std::size_t i = 0; ok && i < keys.size(); ++i) {
        ok = t.labels()[i] == keys[i] && t.labels()[i].data() == keys[i].data() &&
             t.hashes()[i] == hash_of(keys[i]);
    }
    return ok;
}

}  // namespace

TEST_CASE("labels are exact byte strings: NUL bytes, empty label, high bytes, long ones") {
    const std::vector<std::string> keys = {"",
                                           "a",
                                           "a\0"s,
                                           "\0a"s,
                                           "\0"s,
                                           "\0\0"s,
                                           "\xff",
                                           "\x80\x00\x01"s,
                                           std::string(200, 'x'),
                                           std::string(199, 'x'),
                                           std::string(20000, '\0'),
                                           std::string(19999, '\0') + "\1"};
    const ByteHash h;
    CHECK(numbers_in_order(keys, h, 0));
    // Every key in one probe chain with one tag: only lengths and bytes tell them apart.
    const auto same = [](std::string_view) { return std::uint64_t{42}; };
    CHECK(numbers_in_order(keys, same, 0));
    // Keys of every length up to 40 that differ in one byte only: the last, or one in the
    // middle, so that each word the comparison reads has to count.
    std::vector<std::string> near;
    const std::string base = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    for (std::size_t len = 1; len <= base.size(); ++len) {
        near.push_back(base.substr(0, len));
        for (std::size_t at : {len - 1, len / 2, len * 3 / 4}) {
            std::string k = base.substr(0, len);
            k[at] = '#';
            if (std::find(near.begin(), near.end(), k) == near.end()) near.push_back(k);
        }
    }
    CHECK(numbers_in_order(near, same, 0));
}

TEST_CASE("growth, reserve and colliding hashes keep every id") {
    // From 16 slots through every doubling, and sized up front.
    const auto keys = random_keys(120000, 1);
    const ByteHash h;
    CHECK(numbers_in_order(keys, h, 0));
    CHECK(numbers_in_order(keys, h, keys.size()));
    // One probe chain; and hashes equal in the bits that pick a slot but not in the tag.
    const std::vector<std::string> few(keys.begin(), keys.begin() + 600);
    CHECK(numbers_in_order(
        few, [](std::string_view) { return std::uint64_t{42}; }, 4));
    CHECK(numbers_in_order(
        few, [&](std::string_view k) { return h(k) << 40; }, 4));

    LabelTable t(0);
    for (const auto& k : few) t.insert(k, h(k));
    t.release_slots();  // labels and hashes outlive the slots
    CHECK(t.size() == few.size() && t.labels()[599] == few[599] && t.hashes()[3] == h(few[3]));
}

TEST_CASE("hash reads every byte and the length") {
    const ByteHash h;
    std::mt19937_64 rng(4);
    for (std::size_t n = 0; n <= 70; ++n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(rng());
        const std::uint64_t base = h(s);
        CHECK(h(s + '\0') != base);  // "a" vs "a\0": the length counts
        for (std::size_t i = 0; i < n; ++i) {
            for (int bit : {0, 7}) {
                std::string t = s;
                t[i] = static_cast<char>(t[i] ^ (1 << bit));
                CHECK(h(t) != base);
            }
        }
    }
    CHECK(ByteHash{1}("abc") != ByteHash{2}("abc"));
    // Keys that differ in one character spread over a table's low bits and over the top bits
    // that pick partitions.
    std::vector<int> low(1 << 16, 0), top(1 << 10, 0);
    for (int i = 0; i < 1 << 16; ++i) {
        const std::uint64_t x = h("label" + std::to_string(i));
        ++low[x & 0xFFFF];
        ++top[x >> 54];
    }
    CHECK(*std::max_element(low.begin(), low.end()) < 16);   // ~1 expected
    CHECK(*std::max_element(top.begin(), top.end()) < 128);  // 64 expected
}

CHECK_MAIN()
