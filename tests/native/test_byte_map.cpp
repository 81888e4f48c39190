#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "check.hpp"
#include "lib/byte_hash.hpp"
#include "lib/byte_map.hpp"
#include "pool/pool.hpp"

using namespace vandra;
using namespace std::string_literals;

namespace {

// Every key in one probe chain.
struct ConstantHash {
    std::uint64_t operator()(std::string_view) const noexcept { return 42; }
};

// Counts live instances, to catch values leaked or destroyed twice across growth and copies.
struct Tracked {
    static inline int live = 0;
    int v;
    explicit Tracked(int x) : v(x) { ++live; }
    Tracked(const Tracked& o) : v(o.v) { ++live; }
    Tracked(Tracked&& o) noexcept : v(o.v) { ++live; }
    Tracked& operator=(const Tracked&) = default;
    ~Tracked() { --live; }
};

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

template <class Map>
bool holds_exactly(const Map& m, const std::vector<std::string>& keys) {
    if (m.size() != keys.size()) return false;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto* v = m.find(keys[i]);
        if (v == nullptr || *v != static_cast<int>(i)) return false;
    }
    std::size_t visited = 0;
    bool ok = true;
    m.for_each([&](std::string_view k, const int& v) {
        ++visited;
        ok = ok && v >= 0 && static_cast<std::size_t>(v) < keys.size() && keys[v] == k;
    });
    return ok && visited == keys.size();
}

}  // namespace

TEST_CASE("keys are exact byte strings: NUL bytes, empty key, high bytes") {
    ByteMap<int> m;
    CHECK(m.empty() && m.find("a") == nullptr && m.find("") == nullptr);
    // Long keys too: their stored length takes 2 and 3 bytes.
    const std::string keys[] = {"",
                                "a",
                                "a\0"s,
                                "\0a"s,
                                "\0"s,
                                "\0\0"s,
                                "\xff",
                                "\x80\x00\x01"s,
                                std::string(200, 'x'),
                                std::string(20000, '\0')};
    for (int i = 0; i < 10; ++i) CHECK(m.try_emplace(keys[i], i).second);
    for (int i = 0; i < 10; ++i) {
        auto [v, inserted] = m.try_emplace(keys[i], 100 + i);
        CHECK(!inserted && *v == i);  // first value kept
        CHECK(*m.find(keys[i]) == i);
    }
    CHECK(m.size() == 10 && !m.empty());
    CHECK(m.find(std::string(199, 'x')) == nullptr && m.find(std::string(20001, '\0')) == nullptr);
    CHECK(m.find("a\0\0"s) == nullptr && m.find("b") == nullptr);
}

TEST_CASE("growth keeps every entry, also when all keys collide") {
    // From nothing, through every doubling, up to a slot array big enough to be mapped
    // directly (see ZeroedBlock); then moved and copied whole.
    const auto keys = random_keys(120000, 1);
    ByteMap<int> grown;
    for (std::size_t i = 0; i < keys.size(); ++i) CHECK(grown.try_emplace(keys[i], int(i)).second);
    CHECK(holds_exactly(grown, keys));
    ByteMap<int> moved(std::move(grown));
    const ByteMap<int> copied(moved);
    moved = ByteMap<int>();
    CHECK(holds_exactly(copied, keys) && moved.empty() && grown.empty());

    ByteMap<int, ConstantHash> chain(4);
    const std::vector<std::string> few(keys.begin(), keys.begin() + 600);
    for (std::size_t i = 0; i < few.size(); ++i) CHECK(chain.try_emplace(few[i], int(i)).second);
    for (std::size_t i = 0; i < few.size(); ++i) CHECK(!chain.try_emplace(few[i], -1).second);
    CHECK(holds_exactly(chain, few));
    CHECK(chain.find("not there") == nullptr);
}

TEST_CASE("moves and copies; values are neither leaked nor destroyed twice") {
    {
        ByteMap<Tracked> a;
        for (int i = 0; i < 1000; ++i) a.try_emplace("key" + std::to_string(i), Tracked(i));
        CHECK(Tracked::live == 1000);
        ByteMap<Tracked> b(std::move(a));
        CHECK(a.empty() && a.find("key1") == nullptr && b.size() == 1000);
        CHECK(a.try_emplace("again", Tracked(7)).second);  // moved-from map is usable
        ByteMap<Tracked> c(b);
        CHECK(Tracked::live == 2001);
        b = std::move(a);
        CHECK(Tracked::live == 1001 && b.size() == 1 && b.find("again")->v == 7);
        CHECK(c.size() == 1000 && c.find("key999")->v == 999);
        c.try_emplace("key999", Tracked(0));
        CHECK(c.find("key999")->v == 999);
    }
    CHECK(Tracked::live == 0);
}

TEST_CASE("concurrent lookups from many threads") {
    const auto keys = random_keys(30000, 2);
    ByteMap<int> m(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) m.try_emplace(keys[i], int(i));
    std::vector<int> ok(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] { ok[t] = holds_exactly(m, keys); });
    }
    for (auto& th : threads) th.join();
    CHECK(std::all_of(ok.begin(), ok.end(), [](int x) { return x == 1; }));
}

TEST_CASE("bulk placement of distinct keys from pool threads") {
    auto keys = random_keys(50000, 3);
    // An empty key, which takes no arena bytes.
    if (std::find(keys.begin(), keys.end(), "") == keys.end()) keys[123] = "";
    std::vector<std::size_t> offset(keys.size() + 1, 0);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        offset[i + 1] = offset[i] + ByteMap<int>::stored_bytes(keys[i].size());
    }
    for (std::size_t threads : {1, 3}) {
        pool::Pool p(threads);
        ByteMap<int> m;
        m.try_emplace("stale", -1);  // replaced by the reset
        m.reset_for_distinct(keys.size(), offset.back());
        p.install([&] {
            pool::for_each_index(0, keys.size(), [&](std::size_t i) {
                m.place_distinct(keys[i], m.hash_key(keys[i]), offset[i], int(i));
            });
        });
        CHECK(holds_exactly(m, keys) && m.find("stale") == nullptr);
        ByteMap<int> copy(m);  // and stays an ordinary map
        CHECK(copy.try_emplace("later", 1).second && copy.size() == keys.size() + 1);
    }
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
    // Keys that differ in one character spread over a table's low bits.
    std::vector<int> buckets(1 << 16, 0);
    for (int i = 0; i < 1 << 16; ++i) ++buckets[h("label" + std::to_string(i)) & 0xFFFF];
    CHECK(*std::max_element(buckets.begin(), buckets.end()) < 16);  // ~8 expected
}

CHECK_MAIN()
