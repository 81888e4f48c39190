// Columns read by their distinct values: numbering rows in order of first occurrence, the
// two label forms of a value, encoding in a known order, sorting by key, and the texts
// rendered for datetimes and numbers.
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "lib/column_sources.hpp"
#include "lib/distinct_rows.hpp"
#include "lib/fixed_text.hpp"
#include "lib/key_sort.hpp"
#include "lib/label_encode.hpp"
#include "lib/number_text.hpp"
#include "lib/time_text.hpp"

using namespace vandra;

namespace {

std::vector<std::string> labels_of(const CodeMap& m) {
    std::vector<std::string> out;
    for (Code c = 0; c < m.size(); ++c) out.emplace_back(m.label(c));
    return out;
}

// The same rows numbered by every route: by code, hashed words, a direct table, and bytes.
TEST_CASE("every route numbers rows by first occurrence, nulls sharing one id") {
    std::mt19937_64 rng(7);
    for (const std::size_t rows : {std::size_t{0}, std::size_t{1}, std::size_t{5000}}) {
        std::vector<std::uint64_t> word(rows);
        std::vector<bool> valid(rows);
        for (std::size_t i = 0; i < rows; ++i) {
            word[i] = rng() % 300;
            valid[i] = rng() % 7 != 0;
        }
        auto w = [&](std::size_t i) { return word[i]; };
        auto v = [&](std::size_t i) { return static_cast<bool>(valid[i]); };
        const DistinctWords hashed = distinct_words(rows, w, v);
        const DistinctWords direct = distinct_integers(rows, w, v, true);
        CHECK(hashed.rows.ids == direct.rows.ids && hashed.values == direct.values);
        CHECK(hashed.null_id == direct.null_id);
        // Columns of 8-byte values: narrow ones through a table with a slot for NaT (the
        // nulls here), wide ones hashed; both as the hashed route numbers the words.
        for (const std::uint64_t scale : {std::uint64_t{1}, std::uint64_t{1} << 40}) {
            std::vector<std::uint64_t> column(rows);
            for (std::size_t i = 0; i < rows; ++i)
                column[i] = valid[i] ? (word[i] - 150) * scale : std::uint64_t{1} << 63;
            const DistinctWords cells = distinct_words(
                rows, reinterpret_cast<const char*>(column.data()), std::ptrdiff_t{8});
            const DistinctWords plain = distinct_words(
                rows, [&](std::size_t i) { return column[i]; }, [](std::size_t) { return true; });
            CHECK(cells.rows.ids == plain.rows.ids && cells.values == plain.values);
        }
        std::vector<std::string> texts(rows);
        for (std::size_t i = 0; i < rows; ++i) texts[i] = std::to_string(word[i]);
        const DistinctBytes bytes = distinct_bytes(
            rows, [&](std::size_t i) { return std::string_view(texts[i]); }, v);
        CHECK(bytes.rows.ids == hashed.rows.ids && bytes.null_id == hashed.null_id);
        const DistinctRows codes = distinct_codes(rows, 301, [&](std::size_t i) {
            return valid[i] ? static_cast<std::size_t>(word[i]) : std::size_t{300};
        });
        CHECK(codes.ids == hashed.rows.ids);
        // first_row ascends; each id's first row holds it, and no earlier row does
        std::vector<bool> seen(hashed.rows.count(), false);
        for (std::size_t i = 0; i < rows; ++i) {
            const std::uint32_t id = hashed.rows.ids[i];
            CHECK(seen[id] || hashed.rows.first_row[id] == i);
            seen[id] = true;
            if (id != hashed.null_id) CHECK(hashed.values[id] == word[i]);
        }
    }
}

TEST_CASE("a column of distinct first rows, then repeats, numbers as a map would") {
    // Its table is sized for every row from the first rows; later rows repeat earlier ones.
    std::mt19937_64 rng(9);
    const std::size_t rows = 20000;
    std::vector<std::uint64_t> word(rows);
    for (std::size_t i = 0; i < rows; ++i)
        word[i] = i < rows / 2 ? rng() : word[rng() % (rows / 2)];
    const DistinctWords d = distinct_words(
        rows, [&](std::size_t i) { return word[i]; }, [](std::size_t i) { return i % 11 != 5; });
    std::map<std::uint64_t, std::uint32_t> id;
    for (std::size_t i = 0; i < rows; ++i) {
        if (i % 11 == 5) {
            CHECK(d.rows.ids[i] == d.null_id);
            continue;
        }
        if (!id.count(word[i]))
            id.emplace(word[i], static_cast<std::uint32_t>(id.size() + (id.size() >= d.null_id)));
        CHECK(d.rows.ids[i] == id.at(word[i]) && d.values[d.rows.ids[i]] == word[i]);
    }
}

TEST_CASE("integers far apart, and at both ends of the range, are hashed, not tabled") {
    const std::vector<std::uint64_t> word = {0, UINT64_MAX, 1ull << 63, 0, (1ull << 63) - 1};
    auto w = [&](std::size_t i) { return word[i]; };
    auto v = [](std::size_t) { return true; };
    for (const bool is_signed : {true, false}) {
        const DistinctWords d = distinct_integers(word.size(), w, v, is_signed);
        CHECK((d.rows.ids == RowIds{0, 1, 2, 0, 3}));
    }
}

TEST_CASE("ids_from lists the values of later rows in order of their first occurrence there") {
    DistinctRows d;
    d.ids = {0, 1, 2, 1, 0, 3, 0};
    d.first_row = {0, 1, 2, 5};
    CHECK((ids_from(d, 3) == std::vector<std::uint32_t>{1, 0, 3}));
    CHECK(ids_from(d, 7).empty());
}

// Rows 0..2 hold values 0, 1, 0 before the text from row 2 on; forms 2*id and 2*id + 1.
TEST_CASE("distinct labels: a value's two forms, equal texts merged, missing texts uncoded") {
    const std::vector<std::string_view> forms = {"1", "1", "x", "x", "", "NaN"};
    const RowIds ids = {0, 1, 0, 2, 1, 0};
    // forms 0 (value 0 as a number), 1 (its text "1", equal), 3 ("x"), 5 (missing)
    DistinctLabels labels(forms, {0, 2, 1, 3, 5}, ids, 2);
    std::vector<double> codes(ids.size());
    const CodeMap map = labels.encode(codes.data());
    CHECK((labels_of(map) == std::vector<std::string>{"1", "x"}));
    CHECK(codes[0] == 0 && codes[1] == 1 && codes[2] == 0 && codes[4] == 1 && codes[5] == 0);
    CHECK(std::isnan(codes[3]));
}

// Values 0..3 render as "b", "d", "f", "h"; the others, merged in by text, repeat one of
// them, repeat each other, or are missing texts.
TEST_CASE("ordered labels: rendered in order, other texts merged in, repeats sharing a code") {
    struct Letters final : ValueRenderer {
        // Texts held by the renderer, not written to the buffer: copied into the fit.
        std::string_view text(const KeyedItem& value, char*) const override {
            static constexpr std::string_view kTexts = "bdfh";
            return kTexts.substr(static_cast<std::size_t>(value.key), 1);
        }
    };
    const auto letters = std::make_shared<Letters>();
    const RowIds ids = {0, 4, 1, 5, 6, 2, 7, 3, 8};
    const KeyedItems ordered = {{0, 0, 0}, {1, 0, 1}, {2, 0, 2}, {3, 0, 3}};
    OrderedLabels labels(ids, 9, ordered, {{4, "a"}, {5, "d"}, {6, "NaN"}, {7, "z"}, {8, "z"}},
                         letters);
    std::vector<double> codes(ids.size());
    const CodeMap map = labels.encode(codes.data());
    CHECK((labels_of(map) == std::vector<std::string>{"a", "b", "d", "f", "h", "z"}));
    const std::vector<double> want = {1, 0, 2, 2, -1, 3, 5, 4, 5};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        CHECK(want[i] < 0 ? std::isnan(codes[i]) : codes[i] == want[i]);
    }
    OrderedLabels none(ids, 9, {}, {{4, ""}, {5, "d"}}, letters);  // nothing ordered
    std::vector<double> few(ids.size());
    CHECK((labels_of(none.encode(few.data())) == std::vector<std::string>{"", "d"}));
}

// Values 0..4 with codes 5, -1 (missing), 1, 3, 0 of six categories, held per code or per
// value; the category "nan" is a missing text and takes no code.
TEST_CASE("key rank labels: a value's code is its key's rank among the used keys") {
    for (const bool per_key : {true, false}) {
        auto texts = std::make_shared<KeyedTexts>();
        texts->key_of = {5, -1, 1, 3, 0};
        texts->keys = 6;
        texts->in_order = values_by_key(texts->key_of, texts->keys);
        const std::vector<std::string_view> categories = {"", "a", "b", "nan", "x", "z"};
        if (per_key) {
            texts->by_key.assign(categories.begin(), categories.end());
        } else {
            texts->by_value = {"z", {}, "a", "nan", ""};
        }
        CHECK(texts->ascend());
        const RowIds ids = {0, 1, 2, 3, 4, 2, 0};
        KeyRankLabels labels(ids, texts);
        std::vector<double> codes(ids.size());
        CHECK((labels_of(labels.encode(codes.data())) == std::vector<std::string>{"", "a", "z"}));
        const std::vector<double> want = {2, -1, 1, -1, 0, 1, 2};
        for (std::size_t i = 0; i < ids.size(); ++i)
            CHECK(want[i] < 0 ? std::isnan(codes[i]) : codes[i] == want[i]);
    }
}

TEST_CASE("sort_by_key orders by key, signed, then by tie") {
    std::mt19937_64 rng(3);
    // Sparse keys go by radix, dense ones (a range under twice their number) by counting, and
    // keys a power of 1,000 apart by their steps, unless one key is off the steps.
    for (const std::int64_t scale : {std::int64_t{1} << 40, std::int64_t{1}, std::int64_t{1000},
                                     std::int64_t{1} * 1000000000000})
        for (const std::size_t n : {std::size_t{10}, std::size_t{5000}})
            for (const std::int64_t off_step : {0, 1}) {
                KeyedItems items(n);
                for (std::size_t i = 0; i < n; ++i) {
                    const auto key = static_cast<std::int64_t>(rng() % 100) - 50;
                    items[i] = KeyedItem{key * scale, static_cast<std::uint32_t>(rng() % 3),
                                         static_cast<std::uint32_t>(i)};
                }
                items[n / 2].key += off_step;
                auto want = items;
                std::stable_sort(want.begin(), want.end(),
                                 [](const KeyedItem& a, const KeyedItem& b) {
                                     return a.key != b.key ? a.key < b.key : a.tie < b.tie;
                                 });
                sort_by_key(items);
                for (std::size_t i = 0; i < n; ++i)
                    CHECK(items[i].key == want[i].key && items[i].tie == want[i].tie);
            }
    // Distinct dense keys (category codes), with gaps, go by their slots.
    KeyedItems codes;
    for (std::uint32_t i = 0; i < 5000; ++i) {
        if (i % 7 != 3) codes.push_back(KeyedItem{(i * 7919) % 5000, 0, i});
    }
    sort_by_key(codes);
    for (std::size_t k = 0; k < codes.size(); ++k) {
        CHECK((codes[k].item * 7919) % 5000 == codes[k].key);
        if (k > 0) CHECK(codes[k - 1].key < codes[k].key);
    }
}

TEST_CASE("periods are written as pandas writes them, within the years 1000 to 9999") {
    using F = PeriodFreq;
    struct Case {
        std::int64_t ordinal;
        F freq;
        std::string_view text;
    };
    // Texts and ordinals as pandas gives them.
    for (const Case& c : std::initializer_list<Case>{
             {-970, F::year, "1000"},
             {32119, F::quarter, "9999Q4"},
             {-1, F::month, "1969-12"},
             {1, F::week, "1969-12-29/1970-01-04"},
             {-50610, F::week, "1000-01-06/1000-01-12"},
             {2, F::business, "1970-01-05"},
             {-3, F::business, "1969-12-29"},
             {-354285, F::day, "1000-01-01"},
             {-1, F::hour, "1969-12-31 23:00"},
             {22714710, F::minute, "2013-03-10 02:30"},
             {253402300799, F::second, "9999-12-31 23:59:59"},
             {-1, F::milli, "1969-12-31 23:59:59.999"},
             {1, F::micro, "1970-01-01 00:00:00.000001"},
             {1362882600123456789, F::nano, "2013-03-10 02:30:00.123456789"}}) {
        char buf[kTimeTextMax];
        CHECK(std::string_view(buf, period_text(c.ordinal, c.freq, buf)) == c.text);
    }
    char buf[kTimeTextMax];
    CHECK(period_text(-971, F::year, buf) == 0);    // 999: pandas 2 and 3 differ
    CHECK(period_text(-50611, F::week, buf) == 0);  // a week from 999 into 1000
    CHECK(period_text(INT64_MAX, F::quarter, buf) == 0);
    CHECK(period_freq("period[Q-DEC]") == F::quarter && !period_freq("period[2D]") &&
          !period_freq("period[W-MON]"));
}

TEST_CASE("numbers and datetimes are written as Python, numpy and pandas write them") {
    CHECK(float_to_text(1e23) == "1" + std::string(23, '0'));
    CHECK(float_to_text(-1.5e-7) == "-0.00000015");
    CHECK(python_float_text(1e16) == "1e+16" && python_float_text(1e15) == "1000000000000000.0");
    CHECK(python_float_text(1e-5) == "1e-05" && python_float_text(-0.0) == "-0.0");
    CHECK(python_float_text(1.5e300) == "1.5e+300" && python_float_text(0.0001) == "0.0001");
    std::string out;
    CHECK(numpy_datetime_text(-1, TimeUnit::micro, out) && out == "1969-12-31T23:59:59.999999");
    CHECK(numpy_datetime_text(0, TimeUnit::hour, out) && out == "1970-01-01T00");
    CHECK(!numpy_datetime_text(-62135596801, TimeUnit::second, out));  // 0000-12-31
    CHECK(timestamp_text(1500, TimeUnit::milli, -(4 * 3600 + 56 * 60 + 2), out) &&
          out == "1970-01-01 00:00:01.500000-04:56:02");
    CHECK(timestamp_text(1, TimeUnit::nano, std::nullopt, out) &&
          out == "1970-01-01 00:00:00.000000001");
    CHECK(timestamp_text(253402300799, TimeUnit::second, 0, out) &&
          out == "9999-12-31 23:59:59+00:00");
    CHECK(bytes_repr("a'\\\x01\xff") == "b\"a'\\\\\\x01\\xff\"" && bytes_repr("x") == "b'x'");
    CHECK(!may_be_number("1.5x") && may_be_number(" -1_000.5e+3 ") && may_be_number("\xd9\xa1"));
    CHECK(timedelta_text(-1, TimeUnit::second, out) && out == "-1 days +23:59:59");
    CHECK(timedelta_text(INT64_MIN + 1, TimeUnit::nano, out) &&
          out == "-106752 days +00:12:43.145224193");
}

TEST_CASE("timedelta keys ascend as the texts do, signs and day digits included") {
    std::mt19937_64 rng(11);
    for (const TimeUnit unit : {TimeUnit::second, TimeUnit::nano}) {
        const std::int64_t day = units_per_day(unit);
        std::vector<std::int64_t> values = {0,       -1,       1,         day,       -day,
                                            9 * day, 10 * day, -10 * day, INT64_MAX, INT64_MIN + 1};
        for (int k = 0; k < 2000; ++k) {
            const auto scale = static_cast<std::int64_t>(rng() % 4);
            const std::int64_t span = scale == 0 ? day : scale == 1 ? 120 * day : INT64_MAX / 4;
            values.push_back(static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(span)) *
                             (rng() % 2 ? 1 : -1));
        }
        const auto order = TimedeltaTextOrder::of(values, unit);
        CHECK(order.has_value());
        if (!order) continue;
        for (std::size_t k = 1; k < values.size(); ++k) {
            std::string a, b;
            CHECK(timedelta_text(values[k - 1], unit, a) && timedelta_text(values[k], unit, b));
            const std::int64_t ka = order->key(values[k - 1]), kb = order->key(values[k]);
            CHECK((a < b) == (ka < kb) && (a == b) == (ka == kb));
            CHECK(order->value(ka) == values[k - 1]);
        }
    }
    // Every value a day apart: more days than ranks fit beside a nanosecond's day.
    std::vector<std::int64_t> days;
    for (std::int64_t d = -106000; d < 106000; ++d)
        days.push_back(d * units_per_day(TimeUnit::nano));
    CHECK(!TimedeltaTextOrder::of(days, TimeUnit::nano));
    CHECK(!TimedeltaTextOrder::of({1}, TimeUnit::day));
}

}  // namespace

CHECK_MAIN()
