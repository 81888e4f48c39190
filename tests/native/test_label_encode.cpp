#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "check.hpp"
#include "lib/label_encode.hpp"
#include "pool/pool.hpp"

using namespace vandra;
using detail::LabelStrategy;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kScale = 20;
#else
constexpr std::size_t kScale = 1;
#endif

constexpr LabelStrategy kStrategies[] = {LabelStrategy::adaptive, LabelStrategy::sort_rows,
                                         LabelStrategy::hash_rows};

bool is_canonical_nan(double d) {
    return std::bit_cast<std::uint64_t>(d) == 0x7FF8000000000000ull;
}

// Owned label texts and the views label_encode takes.
struct Column {
    std::vector<std::string> texts;
    std::vector<std::string_view> views;

    explicit Column(std::vector<std::string> t) : texts(std::move(t)) {
        views.assign(texts.begin(), texts.end());
    }
};

// The obvious implementation: owned copies, std::sort (unsigned byte order), unique, std::map.
struct Reference {
    std::vector<double> codes;
    std::unordered_map<std::string, std::optional<Code>> map;
};

Reference reference_encode(const std::vector<std::string_view>& labels) {
    std::vector<std::string> sorted(labels.begin(), labels.end());
    std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
        const std::size_t n = std::min(a.size(), b.size());
        for (std::size_t i = 0; i < n; ++i) {
            const auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
            if (x != y) return x < y;
        }
        return a.size() < b.size();
    });
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    Reference r;
    Code next = 0;
    for (const auto& s : sorted) {
        const bool missing = s == "nan" || s == "NaN" || s == "<NA>";
        r.map.emplace(s, missing ? std::nullopt : std::optional<Code>(next++));
    }
    for (auto v : labels) {
        const auto& c = r.map.at(std::string(v));
        r.codes.push_back(c ? static_cast<double>(*c)
                            : std::bit_cast<double>(0x7FF8000000000000ull));
    }
    return r;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool matches(const Reference& want, const LabelEncoding& got) {
    if (!same_bits(got.codes, want.codes) || got.label_map.size() != want.map.size()) return false;
    bool ok = true;
    got.label_map.for_each([&](std::string_view k, const std::optional<Code>& c) {
        auto it = want.map.find(std::string(k));
        ok = ok && it != want.map.end() && it->second == c;
    });
    return ok;
}

bool matches_reference(const std::vector<std::string_view>& labels, const LabelEncoding& got) {
    return matches(reference_encode(labels), got);
}

// Checks a result without sorting copies, for columns too large for the reference: each row's
// code is its label's entry, the map holds exactly the labels, and codes 0..k-1 follow the
// labels' order.
bool valid_encoding(const std::vector<std::string_view>& labels, std::size_t distinct,
                    const LabelEncoding& got) {
    if (got.codes.size() != labels.size()) return false;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const std::optional<Code>* c = got.label_map.find(labels[i]);
        if (c == nullptr) return false;
        if (*c ? got.codes[i] != static_cast<double>(**c) : !is_canonical_nan(got.codes[i])) {
            return false;
        }
    }
    if (distinct != got.label_map.size()) return false;
    std::vector<std::string_view> by_code;
    got.label_map.for_each([&](std::string_view k, const std::optional<Code>& c) {
        if (c) {
            if (by_code.size() <= *c) by_code.resize(*c + 1);
            by_code[*c] = k;
        }
    });
    for (std::size_t i = 1; i < by_code.size(); ++i) {
        if (!(by_code[i - 1] < by_code[i])) return false;  // also catches gaps (empty views)
    }
    return true;
}

// Random byte strings from a small alphabet, so that prefixes, NUL bytes, bytes >= 0x80 and
// repeats are common; some rows are missing-value texts or look-alikes.
std::vector<std::string> random_texts(std::size_t rows, std::size_t max_len, std::uint64_t seed) {
    static const char kBytes[] = {'\0', 'a', 'b', 'A', '\x7f', '\x80', '\xc3', '\xff'};
    static const char* kSpecial[] = {"nan", "NaN", "<NA>", "NAN", "None", "nan ", "", "na"};
    std::mt19937_64 rng(seed);
    std::vector<std::string> out;
    out.reserve(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        if (rng() % 10 == 0) {
            out.emplace_back(kSpecial[rng() % 8]);
            continue;
        }
        std::string s(rng() % (max_len + 1), '\0');
        for (char& ch : s) ch = kBytes[rng() % 8];
        out.push_back(std::move(s));
    }
    return out;
}

}  // namespace

TEST_CASE("worked example: sorted codes, missing texts keep no code") {
    Column col({"b", "a", "NaN", "b", "c", "<NA>", "nan"});
    for (LabelStrategy s : kStrategies) {
        const LabelEncoding enc = detail::label_encode_with(col.views, s);
        CHECK(enc.codes.size() == 7);
        CHECK(enc.codes[0] == 1 && enc.codes[1] == 0 && enc.codes[3] == 1 && enc.codes[4] == 2);
        CHECK(is_canonical_nan(enc.codes[2]) && is_canonical_nan(enc.codes[5]) &&
              is_canonical_nan(enc.codes[6]));
        CHECK(enc.label_map.size() == 6);
        CHECK(**enc.label_map.find("a") == 0 && **enc.label_map.find("b") == 1 &&
              **enc.label_map.find("c") == 2);
        for (const char* m : {"nan", "NaN", "<NA>"}) {
            CHECK(enc.label_map.find(m) != nullptr && !enc.label_map.find(m)->has_value());
        }
    }
}

TEST_CASE("order is unsigned byte-wise, a prefix before its extensions") {
    using namespace std::string_literals;
    // Each list is in ascending order; encoded shuffled, codes must come out 0, 1, 2, ...
    const std::vector<std::vector<std::string>> ascending = {
        {"B", "a"},
        {"10", "2"},
        {"apple", "apples"},
        {"z", "\xc3\xa9"},  // 'z' < 'é' (UTF-8 lead byte 0xC3)
        {"", "\0"s, "a", "a\0"s, "a\0\0"s, "a\x01"s},
        {"\x7f", "\x80", "\xff"},
        // Shared 8-byte prefixes: the order is settled past the first word.
        {"abcdefgh", "abcdefgh\0"s, "abcdefghA", "abcdefgha", "abcdefghij", "abcdefgi"},
        {"NAN", "None", "nan "},
    };
    for (const auto& asc : ascending) {
        std::vector<std::string> rows(asc.rbegin(), asc.rend());
        rows.insert(rows.end(), asc.begin(), asc.end());
        Column col(rows);
        for (LabelStrategy s : kStrategies) {
            const LabelEncoding enc = detail::label_encode_with(col.views, s);
            const std::size_t k = asc.size();
            for (std::size_t i = 0; i < k; ++i) {
                CHECK(enc.codes[i] == static_cast<double>(k - 1 - i));
                CHECK(enc.codes[k + i] == static_cast<double>(i));
            }
            CHECK(enc.label_map.size() == k);
        }
    }
}

TEST_CASE("look-alikes of the missing texts are ordinary labels") {
    Column col({"NAN", "None", "nan ", " nan", "na", "<na>", "nan"});
    const LabelEncoding enc = label_encode(col.views);
    for (std::size_t i = 0; i < 6; ++i) CHECK(enc.label_map.find(col.views[i])->has_value());
    CHECK(!enc.label_map.find("nan")->has_value());
    CHECK(matches_reference(col.views, enc));
}

TEST_CASE("empty input, empty text, all-missing column") {
    for (LabelStrategy s : kStrategies) {
        const LabelEncoding none = detail::label_encode_with({}, s);
        CHECK(none.codes.empty() && none.label_map.empty());

        Column blank({"", "", "x", ""});
        const LabelEncoding b = detail::label_encode_with(blank.views, s);
        CHECK(b.codes == std::vector<double>({0, 0, 1, 0}));
        CHECK(**b.label_map.find("") == 0);

        std::vector<std::string> missing;
        for (std::size_t i = 0; i < 100000 / kScale; ++i)
            missing.push_back(i % 3 == 0 ? "nan" : i % 3 == 1 ? "NaN" : "<NA>");
        Column m(missing);
        const LabelEncoding enc = detail::label_encode_with(m.views, s);
        CHECK(std::all_of(enc.codes.begin(), enc.codes.end(), is_canonical_nan));
        CHECK(enc.label_map.size() == 3);
        enc.label_map.for_each([](std::string_view, const std::optional<Code>& c) { CHECK(!c); });
    }
}

TEST_CASE("random byte strings match the reference, every strategy") {
    // Sizes around the chunk (65536) and scan block (16384) boundaries, where runs of equal
    // labels cross blocks.
    const std::size_t sizes[] = {1, 2, 3, 100, 16383, 16385, 65537, 70000 / kScale};
    std::uint64_t seed = 1;
    for (std::size_t rows : sizes) {
        for (std::size_t max_len : {2, 6, 20}) {
            if (kScale > 1 && rows > 100 && max_len != 20) continue;
            Column col(random_texts(rows, max_len, seed++));
            const Reference want = reference_encode(col.views);
            for (LabelStrategy s : kStrategies) {
                CHECK(matches(want, detail::label_encode_with(col.views, s)));
            }
        }
    }
}

TEST_CASE("adaptive switch to sorting mid-column gives the same result") {
    // A chunk (65536 rows) of a few labels, then one of distinct labels, which makes the
    // adaptive encoder abandon hashing; and the reverse order.
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

TEST_CASE("results are the same on pools of 1, 2, 3 and 8 threads") {
    Column low(random_texts(60000 / kScale, 4, 77));
    Column high(random_texts(60000 / kScale, 24, 78));
    const Reference want_low = reference_encode(low.views),
                    want_high = reference_encode(high.views);
    for (std::size_t threads : {1, 2, 3, 8}) {
        pool::Pool p(threads);
        p.install([&] {
            for (LabelStrategy s : kStrategies) {
                CHECK(matches(want_low, detail::label_encode_with(low.views, s)));
                CHECK(matches(want_high, detail::label_encode_with(high.views, s)));
            }
        });
    }
}

TEST_CASE("large columns: 2M rows sorted or hashed, 1M identical rows") {
    const std::size_t big = 2000000 / kScale;
    // Decimal texts in one buffer: ~all distinct (the sorting path), then 50K distinct (the
    // hashing path); a few missing texts in both.
    for (std::size_t cardinality : {big * 4, std::size_t{50000}}) {
        std::mt19937_64 rng(cardinality);
        std::string bytes;
        std::vector<std::size_t> ends;
        std::vector<std::uint64_t> numbers;
        for (std::size_t i = 0; i < big; ++i) {
            if (i % 100000 == 7) {
                bytes += "nan";
            } else {
                numbers.push_back(rng() % cardinality);
                bytes += std::to_string(numbers.back());
            }
            ends.push_back(bytes.size());
        }
        std::vector<std::string_view> views;
        for (std::size_t i = 0; i < big; ++i) {
            const std::size_t start = i == 0 ? 0 : ends[i - 1];
            views.emplace_back(bytes.data() + start, ends[i] - start);
        }
        std::sort(numbers.begin(), numbers.end());
        const std::size_t distinct =
            std::unique(numbers.begin(), numbers.end()) - numbers.begin() + 1;  // + "nan"
        CHECK(valid_encoding(views, distinct, label_encode(views)));
    }

    const std::string same = "the same label";
    std::vector<std::string_view> identical(1000000 / kScale, same);
    for (LabelStrategy s : kStrategies) {
        const LabelEncoding enc = detail::label_encode_with(identical, s);
        CHECK(enc.label_map.size() == 1 && **enc.label_map.find(same) == 0);
        CHECK(std::all_of(enc.codes.begin(), enc.codes.end(), [](double d) { return d == 0; }));
    }
}

CHECK_MAIN()
