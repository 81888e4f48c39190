#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "lib/label_encode.hpp"
#include "lib/sort_labels.hpp"
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

constexpr LabelStrategy kStrategies[] = {LabelStrategy::automatic, LabelStrategy::chunk_tables,
                                         LabelStrategy::hash_partitions};
constexpr std::uint64_t kNaN = 0x7FF8000000000000ull;

bool is_nan_code(double d) {
    return std::bit_cast<std::uint64_t>(d) == kNaN;
}

bool byte_less(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

std::vector<std::string> labels_of(const CodeMap& m) {
    std::vector<std::string> out;
    for (Code c = 0; c < m.size(); ++c) out.emplace_back(m.label(c));
    return out;
}

// Owned texts and the views label_encode takes.
struct Column {
    std::vector<std::string> texts;
    std::vector<std::string_view> views;
    explicit Column(std::vector<std::string> t)
        : texts(std::move(t)), views(texts.begin(), texts.end()) {}
};

LabelEncoding encode_with(const RowLabels& labels, LabelStrategy s) {
    LabelEncoding out;
    out.codes.assign(labels.size(), -1.0);
    out.code_map = detail::label_encode_with(labels, out.codes.data(), s);
    return out;
}

LabelEncoding encode_with(const std::vector<std::string_view>& labels, LabelStrategy s) {
    return encode_with(ViewLabels(labels), s);
}

// Rows handed out a block at a time as copies in the reader's buffer, as a source that makes
// each row's view does; a block too long or past the end aborts.
class BlockCopies final : public RowLabels {
  public:
    explicit BlockCopies(const std::vector<std::string_view>& views) : views_(views) {}
    std::size_t size() const noexcept override { return views_.size(); }
    const std::string_view* read(std::size_t lo, std::size_t hi,
                                 std::string_view* buf) const override {
        if (lo >= hi || hi - lo > kBlockRows || hi > views_.size()) std::abort();
        std::copy(views_.begin() + static_cast<std::ptrdiff_t>(lo),
                  views_.begin() + static_cast<std::ptrdiff_t>(hi), buf);
        return buf;
    }

  private:
    const std::vector<std::string_view>& views_;
};

// The plain way, with the byte order spelled out: copies, sort, unique, a map.
struct Reference {
    std::vector<double> codes;
    std::vector<std::string> coded;  // in code order

    explicit Reference(const std::vector<std::string_view>& labels) {
        std::vector<std::string> sorted(labels.begin(), labels.end());
        std::sort(sorted.begin(), sorted.end(), byte_less);
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        std::map<std::string, double> code;
        for (const auto& s : sorted) {
            const bool missing = s == "nan" || s == "NaN" || s == "<NA>";
            code.emplace(s, missing ? std::bit_cast<double>(kNaN) : double(coded.size()));
            if (!missing) coded.push_back(s);
        }
        for (auto v : labels) codes.push_back(code.at(std::string(v)));
    }

    bool matches(const LabelEncoding& got) const {
        return got.codes.size() == codes.size() &&
               (codes.empty() ||
                std::memcmp(got.codes.data(), codes.data(), codes.size() * 8) == 0) &&
               labels_of(got.code_map) == coded;
    }
};

// For columns too big for the reference: the code map ascends strictly, holds `coded`
// labels, and every row's code names its own label (NaN exactly for missing-value texts).
bool valid_encoding(const std::vector<std::string_view>& labels, std::size_t coded,
                    const LabelEncoding& got) {
    const CodeMap& m = got.code_map;
    if (got.codes.size() != labels.size() || m.size() != coded) return false;
    for (Code c = 1; c < m.size(); ++c) {
        if (!(m.label(c - 1) < m.label(c))) return false;
    }
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const double d = got.codes[i];
        if (is_missing_label(labels[i])
                ? !is_nan_code(d)
                : !(d >= 0 && d < double(coded) && m.label(Code(d)) == labels[i])) {
            return false;
        }
    }
    return true;
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

// Distinct label sets that defeat shortcuts in hashing and sorting.
std::vector<std::vector<std::string>> adversarial_sets(std::size_t n) {
    std::mt19937_64 rng(7);
    std::vector<std::vector<std::string>> sets(5);
    // A long shared prefix, so every 8-byte word up to the suffix ties.
    const std::string prefix = "https://example.org/catalogue/items/by-id/";
    for (std::size_t i = 0; i < n; ++i) sets[0].push_back(prefix + std::to_string(rng() % (4 * n)));
    // One body, every last byte, at lengths around the word boundaries.
    for (std::size_t len : {1, 7, 8, 9, 15, 16, 17, 24, 33}) {
        std::string body(len - 1, 'q');
        for (char& c : body) c = static_cast<char>(rng());
        for (int b = 0; b < 256; ++b) sets[1].push_back(body + static_cast<char>(b));
    }
    // Prefix chains of NULs, 0xFF and letters: each label begins the next.
    for (char c : {'\0', '\xff', 'a'}) {
        for (std::size_t k = 0; k <= 70; ++k) sets[2].push_back(std::string(k, c));
    }
    for (std::size_t k = 0; k < 40; ++k) sets[2].push_back(std::string(k, 'a') + "\0b"s);
    // Random bytes of random lengths, NUL and >= 0x80 included.
    for (std::size_t i = 0; i < n; ++i) {
        std::string s(rng() % 12, '\0');
        for (char& c : s) c = static_cast<char>(rng() % 4 == 0 ? 0 : rng());
        sets[3].push_back(s);
    }
    // All distinct decimal numbers, which share leading digits in long runs.
    for (std::size_t i = 0; i < n; ++i) sets[4].push_back(std::to_string(i * 7919 % (n * 10)));
    for (auto& s : sets) {
        std::sort(s.begin(), s.end());
        s.erase(std::unique(s.begin(), s.end()), s.end());
    }
    return sets;
}

// Each label of `set` one to three times, shuffled, with some missing-value texts.
Column column_from(const std::vector<std::string>& set, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::string> rows;
    for (const auto& s : set) rows.insert(rows.end(), 1 + rng() % 3, s);
    for (const char* m : {"nan", "NaN", "<NA>"}) rows.insert(rows.end(), 5, m);
    std::shuffle(rows.begin(), rows.end(), rng);
    return Column(std::move(rows));
}

}  // namespace

TEST_CASE("worked example, empty input, all-missing column") {
    Column col({"b", "a", "NaN", "b", "c", "<NA>", "nan"});
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < 100000 / kScale; ++i) missing.push_back(i % 2 ? "nan" : "<NA>");
    Column all_missing(missing);
    for (LabelStrategy s : kStrategies) {
        const LabelEncoding enc = encode_with(col.views, s);
        CHECK(enc.codes[0] == 1 && enc.codes[1] == 0 && enc.codes[3] == 1 && enc.codes[4] == 2);
        CHECK(is_nan_code(enc.codes[2]) && is_nan_code(enc.codes[5]) && is_nan_code(enc.codes[6]));
        CHECK(labels_of(enc.code_map) == (std::vector<std::string>{"a", "b", "c"}));

        const LabelEncoding none = encode_with({}, s);
        CHECK(none.codes.empty() && none.code_map.empty());

        const LabelEncoding gone = encode_with(all_missing.views, s);
        CHECK(std::all_of(gone.codes.begin(), gone.codes.end(), is_nan_code));
        CHECK(gone.code_map.empty());
    }
    const LabelEncoding plain = label_encode(col.views);  // the allocating form
    CHECK(Reference(col.views).matches(plain));
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
        // Equal first 8 bytes: settled past the first word.
        {"abcdefgh", "abcdefgh\0"s, "abcdefghA", "abcdefgha", "abcdefghij", "abcdefgi"},
        {" nan", "<na>", "NAN", "None", "na", "nan "},
    };
    for (const auto& asc : ascending) {
        std::vector<std::string> rows(asc.rbegin(), asc.rend());
        rows.insert(rows.end(), asc.begin(), asc.end());
        Column col(rows);
        const std::size_t k = asc.size();
        for (LabelStrategy s : kStrategies) {
            const LabelEncoding enc = encode_with(col.views, s);
            CHECK(labels_of(enc.code_map) == asc);
            for (std::size_t i = 0; i < k; ++i) {
                CHECK(enc.codes[i] == static_cast<double>(k - 1 - i) &&
                      enc.codes[k + i] == static_cast<double>(i));
            }
        }
    }
}

TEST_CASE("radix sort of distinct labels equals a comparison sort, adversarial sets") {
    // Large enough that groups are split in parallel, not only by the small-group sort.
    for (const auto& set : adversarial_sets(40000 / (kScale > 1 ? 4 : 1))) {
        std::vector<std::string> shuffled = set;
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(set.size()));
        const std::vector<std::string_view> views(shuffled.begin(), shuffled.end());
        std::vector<std::uint32_t> want(views.size());
        std::iota(want.begin(), want.end(), 0u);
        std::sort(want.begin(), want.end(), [&](std::uint32_t a, std::uint32_t b) {
            return byte_less(shuffled[a], shuffled[b]);
        });
        for (std::size_t threads : {1, 3}) {
            pool::Pool p(threads);
            p.install([&] {
                const auto got = detail::sort_distinct_labels(views.data(), views.size());
                for (std::size_t i = 0; i < want.size(); ++i) {
                    CHECK(got[i].id == want[i] && got[i].size == views[want[i]].size());
                }
            });
        }
    }
}

TEST_CASE("adversarial and random columns match the reference, every strategy and pool size") {
    std::vector<Column> columns;
    std::uint64_t seed = 1;
    for (const auto& set : adversarial_sets(20000 / kScale))
        columns.push_back(column_from(set, seed++));
    // Sizes around the scan block (16384) and chunk (65536) boundaries, where runs of equal
    // labels cross blocks and labels recur across chunks.
    for (std::size_t rows : {std::size_t{1}, std::size_t{3}, std::size_t{16385}, 70000 / kScale}) {
        for (std::size_t max_len : {2, 6, 20})
            columns.emplace_back(random_texts(rows, max_len, seed++));
    }
    // Views that share addresses: prefixes of one buffer (same start, other lengths) and
    // empty views without an address, mostly repeating, as cells holding one string object.
    const std::string buffer(64, 'p');
    Column shared({});
    std::mt19937_64 rng(seed);
    for (std::size_t i = 0; i < 100000 / kScale; ++i) {
        const std::size_t k = rng() % 8 == 0 ? rng() % 65 : rng() % 3;
        shared.views.push_back(k == 0 && rng() % 2 ? std::string_view()
                                                   : std::string_view(buffer.data(), k));
    }
    columns.push_back(std::move(shared));
    for (const Column& col : columns) {
        const Reference want(col.views);
        for (std::size_t threads = 1; threads <= 8; ++threads) {
            if (kScale > 1 && threads % 3 != 1) continue;  // 1, 4, 7 under sanitizers
            pool::Pool p(threads);
            p.install([&] {
                for (LabelStrategy s : kStrategies) {
                    CHECK(want.matches(encode_with(col.views, s)));
                    CHECK(want.matches(encode_with(BlockCopies(col.views), s)));
                }
            });
        }
    }
}

TEST_CASE("few labels of up to 8 bytes that share bytes, in cells of their own") {
    // Labels of one length differ in any one byte, zero and 0xFF among them: whatever finds
    // short labels by their content must tell them all apart.
    std::mt19937_64 rng(11);
    const char alphabet[] = {'a', 'b', '\0', '\xff'};
    std::vector<std::string> pool;
    while (pool.size() < 200) {
        std::string label(rng() % 9, ' ');
        for (char& c : label) c = alphabet[rng() % 4];
        if (std::find(pool.begin(), pool.end(), label) == pool.end()) pool.push_back(label);
    }
    std::vector<std::string> rows;
    for (std::size_t i = 0; i < 200000 / kScale; ++i) rows.push_back(pool[rng() % pool.size()]);
    const Column col(rows);
    const Reference want(col.views);
    for (LabelStrategy s : kStrategies) CHECK(want.matches(encode_with(col.views, s)));
}

TEST_CASE("misleading samples: repeats then distinct labels, and the reverse") {
    // The estimate that picks the route sees a sample; the route must not matter.
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < 131072 / kScale; ++i) texts.push_back("L" + std::to_string(i % 7));
    for (std::size_t i = 0; i < 131072 / kScale; ++i)
        texts.push_back("D" + std::to_string(i * 7919));
    const std::size_t coded = 7 + 131072 / kScale;
    Column forward(texts);
    std::reverse(texts.begin(), texts.end());
    Column backward(texts);
    for (LabelStrategy s : kStrategies) {
        CHECK(valid_encoding(forward.views, coded, encode_with(forward.views, s)));
        CHECK(valid_encoding(backward.views, coded, encode_with(backward.views, s)));
        CHECK(valid_encoding(forward.views, coded, encode_with(BlockCopies(forward.views), s)));
    }
}

TEST_CASE("large columns: 2M rows mostly distinct or 50K labels, 10M identical rows") {
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
        const std::size_t coded = std::unique(numbers.begin(), numbers.end()) - numbers.begin();
        for (LabelStrategy s : kStrategies)
            CHECK(valid_encoding(views, coded, encode_with(views, s)));
    }

    const std::string same = "the same label";
    const std::vector<std::string_view> identical(10000000 / kScale, same);
    for (LabelStrategy s : kStrategies) {
        const LabelEncoding enc = encode_with(identical, s);
        CHECK(labels_of(enc.code_map) == std::vector<std::string>{same});
        CHECK(std::all_of(enc.codes.begin(), enc.codes.end(), [](double d) { return d == 0; }));
    }
}

CHECK_MAIN()
