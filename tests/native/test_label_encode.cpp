#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "check.hpp"
#include "lib/label_encode.hpp"
#include "pool/pool.hpp"

using namespace vandra;
using detail::LabelStrategy;
using namespace std::string_literals;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kScale = 20;
#else
constexpr std::size_t kScale = 1;
#endif

constexpr LabelStrategy kStrategies[] = {LabelStrategy::adaptive, LabelStrategy::sort_rows,
                                         LabelStrategy::hash_rows};
constexpr std::uint64_t kNaN = 0x7FF8000000000000ull;

bool is_nan_code(double d) {
    return std::bit_cast<std::uint64_t>(d) == kNaN;
}

// Owned texts and the views label_encode takes.
struct Column {
    std::vector<std::string> texts;
    std::vector<std::string_view> views;
    explicit Column(std::vector<std::string> t)
        : texts(std::move(t)), views(texts.begin(), texts.end()) {}
};

// The plain way, with the byte order spelled out: copies, sort, unique, a map.
struct Reference {
    std::vector<double> codes;
    std::unordered_map<std::string, std::optional<Code>> map;

    explicit Reference(const std::vector<std::string_view>& labels) {
        std::vector<std::string> sorted(labels.begin(), labels.end());
        std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
            return std::lexicographical_compare(
                a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
                    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
                });
        });
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        Code next = 0;
        for (const auto& s : sorted) {
            const bool missing = s == "nan" || s == "NaN" || s == "<NA>";
            map.emplace(s, missing ? std::nullopt : std::optional<Code>(next++));
        }
        for (auto v : labels) {
            const auto& c = map.at(std::string(v));
            codes.push_back(c ? static_cast<double>(*c) : std::bit_cast<double>(kNaN));
        }
    }

    bool matches(const LabelEncoding& got) const {
        if (got.codes.size() != codes.size() || got.label_map.size() != map.size()) return false;
        if (!codes.empty() && std::memcmp(got.codes.data(), codes.data(), codes.size() * 8) != 0) {
            return false;
        }
        bool ok = true;
        got.label_map.for_each([&](std::string_view k, const std::optional<Code>& c) {
            auto it = map.find(std::string(k));
            ok = ok && it != map.end() && it->second == c;
        });
        return ok;
    }
};

// For columns too big for the reference: every row's code is its label's entry, the map
// holds `distinct` labels, and the coded ones, in code order, are 0..k-1 ascending.
bool valid_encoding(const std::vector<std::string_view>& labels, std::size_t distinct,
                    const LabelEncoding& got) {
    if (got.codes.size() != labels.size() || got.label_map.size() != distinct) return false;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const std::optional<Code>* c = got.label_map.find(labels[i]);
        if (c == nullptr ||
            (*c ? got.codes[i] != static_cast<double>(**c) : !is_nan_code(got.codes[i]))) {
            return false;
        }
    }
    std::vector<std::optional<std::string_view>> by_code(distinct);
    std::size_t coded = 0;
    bool ok = true;
    got.label_map.for_each([&](std::string_view k, const std::optional<Code>& c) {
        if (!c) return;
        ++coded;
        ok = ok && *c < distinct && !by_code[*c];
        if (ok) by_code[*c] = k;
    });
    for (std::size_t i = 0; ok && i < coded; ++i) {
        ok = by_code[i] && (i == 0 || *by_code[i - 1] < *by_code[i]);
    }
    return ok;
}

// Bytes from a small alphabet, so prefixes, NULs, bytes >= 0x80 and repeats are common; one
// row in ten is a missing-value text or a look-alike.
std::vector<std::string> random_texts(std::size_t rows, std::size_t max_len, std::uint64_t seed) {
    static const char kBytes[] = {'\0', 'a', 'b', 'A', '\x7f', '\x80', '\xc3', '\xff'};
    static const char* kSpecial[] = {"nan", "NaN", "<NA>", "NAN", "None", "nan ", "", "na"};
    std::mt19937_64 rng(seed);
    std::vector<std::string> out(rows);
    for (auto& s : out) {
        if (rng() % 10 == 0) {
            s = kSpecial[rng() % 8];
            continue;
        }
        s.resize(rng() % (max_len + 1));
        for (char& ch : s) ch = kBytes[rng() % 8];
    }
    return out;
}

}  // namespace

TEST_CASE("worked example, empty input, all-missing column") {
    Column col({"b", "a", "NaN", "b", "c", "<NA>", "nan"});
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < 100000 / kScale; ++i) missing.push_back(i % 2 ? "nan" : "<NA>");
    Column all_missing(missing);
    for (LabelStrategy s : kStrategies) {
        const LabelEncoding enc = detail::label_encode_with(col.views, s);
        CHECK(enc.codes.size() == 7 && enc.label_map.size() == 6);
        CHECK(enc.codes[0] == 1 && enc.codes[1] == 0 && enc.codes[3] == 1 && enc.codes[4] == 2);
        CHECK(is_nan_code(enc.codes[2]) && is_nan_code(enc.codes[5]) && is_nan_code(enc.codes[6]));
        CHECK(**enc.label_map.find("a") == 0 && **enc.label_map.find("c") == 2);
        for (const char* m : {"nan", "NaN", "<NA>"}) CHECK(!enc.label_map.find(m)->has_value());

        const LabelEncoding none = detail::label_encode_with({}, s);
        CHECK(none.codes.empty() && none.label_map.empty());

        const LabelEncoding gone = detail::label_encode_with(all_missing.views, s);
        CHECK(std::all_of(gone.codes.begin(), gone.codes.end(), is_nan_code));
        CHECK(gone.label_map.size() == 2 && !gone.label_map.find("nan")->has_value());
    }
}

TEST_CASE("order is unsigned byte-wise, a prefix first; look-alikes are ordinary labels") {
    // Each list ascending; encoded reversed and then forward, codes must follow the list.
    const std::vector<std::vector<std::string>> ascending = {
        {"B", "a"},
        {"10", "2"},
        {"apple", "apples"},
        {"z", "\xc3\xa9"},  // 'z' < 'é' (UTF-8 lead byte 0xC3)
        {"", "\0"s, "a", "a\0"s, "a\0\0"s, "a\x01"s},
        {"\x7f", "\x80", "\xff"},
        // Equal first 8 bytes: settled past the prefix word.
        {"abcdefgh", "abcdefgh\0"s, "abcdefghA", "abcdefgha", "abcdefghij", "abcdefgi"},
        {" nan", "<na>", "NAN", "None", "na", "nan "},
    };
    for (const auto& asc : ascending) {
        std::vector<std::string> rows(asc.rbegin(), asc.rend());
        rows.insert(rows.end(), asc.begin(), asc.end());
        Column col(rows);
        const std::size_t k = asc.size();
        for (LabelStrategy s : kStrategies) {
            const LabelEncoding enc = detail::label_encode_with(col.views, s);
            CHECK(enc.label_map.size() == k);
            for (std::size_t i = 0; i < k; ++i) {
                CHECK(enc.codes[i] == static_cast<double>(k - 1 - i) &&
                      enc.codes[k + i] == static_cast<double>(i));
            }
        }
    }
}

TEST_CASE("random byte strings match the reference, every strategy and pool size") {
    // Sizes around the scan block (16384) and chunk (65536) boundaries, where runs of equal
    // labels cross blocks and labels recur across chunks. Under sanitizers, fewer.
    const std::size_t sizes[] = {1, 2, 3, 100, 16383, 16385, 65537, 70000 / kScale};
    std::uint64_t seed = 1;
    for (std::size_t rows : sizes) {
        for (std::size_t max_len : {2, 6, 20}) {
            if (kScale > 1 && rows > 100 && (max_len != 20 || rows > 16385)) continue;
            Column col(random_texts(rows, max_len, seed++));
            const Reference want(col.views);
            for (LabelStrategy s : kStrategies) {
                CHECK(want.matches(detail::label_encode_with(col.views, s)));
            }
            if (rows != 16385) continue;
            for (std::size_t threads : {1, 2, 3, 8}) {
                pool::Pool p(threads);
                p.install([&] {
                    for (LabelStrategy s : kStrategies) {
                        CHECK(want.matches(detail::label_encode_with(col.views, s)));
                    }
                });
            }
        }
    }
}

TEST_CASE("adaptive encoding abandons hashing mid-column with the same result") {
    // A chunk (65536 rows) of 7 labels, then one of distinct labels; and the reverse.
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < 65536; ++i) texts.push_back("L" + std::to_string(i % 7));
    for (std::size_t i = 0; i < 65536; ++i) texts.push_back("D" + std::to_string(i * 7919));
    const std::size_t distinct = 7 + 65536;
    Column forward(texts);
    CHECK(valid_encoding(forward.views, distinct, label_encode(forward.views)));
    CHECK(valid_encoding(forward.views, distinct,
                         detail::label_encode_with(forward.views, LabelStrategy::hash_rows)));
    std::reverse(texts.begin(), texts.end());
    Column backward(texts);
    CHECK(valid_encoding(backward.views, distinct, label_encode(backward.views)));
}

TEST_CASE("large columns: 2M rows mostly distinct or 50K labels, 1M identical rows") {
    const std::size_t big = 2000000 / kScale;
    for (std::size_t cardinality : {big * 4, std::size_t{50000}}) {
        std::mt19937_64 rng(cardinality);
        std::string bytes;
        bytes.reserve(big * 8);  // never reallocated: views point into it
        std::vector<std::string_view> views;
        std::vector<std::uint64_t> numbers;
        for (std::size_t i = 0; i < big; ++i) {
            const std::size_t start = bytes.size();
            if (i % 100000 == 7) {
                bytes += "nan";
            } else {
                numbers.push_back(rng() % cardinality);
                bytes += std::to_string(numbers.back());
            }
            views.emplace_back(bytes.data() + start, bytes.size() - start);
        }
        std::sort(numbers.begin(), numbers.end());
        const std::size_t distinct =
            std::unique(numbers.begin(), numbers.end()) - numbers.begin() + 1;  // and "nan"
        CHECK(valid_encoding(views, distinct, label_encode(views)));
    }

    const std::string same = "the same label";
    const std::vector<std::string_view> identical(1000000 / kScale, same);
    for (LabelStrategy s : kStrategies) {
        const LabelEncoding enc = detail::label_encode_with(identical, s);
        CHECK(enc.label_map.size() == 1 && **enc.label_map.find(same) == 0);
        CHECK(std::all_of(enc.codes.begin(), enc.codes.end(), [](double d) { return d == 0; }));
    }
}

CHECK_MAIN()
