#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "check.hpp"
#include "code_map_equal.hpp"
#include "lib/label_encode.hpp"
#include "lib/send_ptr.hpp"
#include "pool/pool.hpp"
#include "python/encode_object_array.hpp"

using namespace vandra;

namespace {

std::uint64_t bits(double d) {
    return std::bit_cast<std::uint64_t>(d);
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

std::vector<std::string> labels_of(const CodeMap& m) {
    std::vector<std::string> out;
    for (Code c = 0; c < m.size(); ++c) out.emplace_back(m.label(c));
    return out;
}

bool same_fit(const FitState& a, const FitState& b) {
    return a.encoded_columns == b.encoded_columns && a.code_maps == b.code_maps;
}

template <class F>
bool throws_runtime_error(F f) {
    try {
        f();
    } catch (const std::runtime_error&) {
        return true;
    }
    return false;
}

// Labels made on demand from strings the table holds.
struct TextsSource final : LabelSource {
    const std::vector<std::string>* texts;
    explicit TextsSource(const std::vector<std::string>* t) : texts(t) {}
    std::size_t length() const override { return texts->size(); }
    CodeMap encode(double* codes) const override {
        const std::vector<std::string_view> views(texts->begin(), texts->end());
        return label_encode(views, codes);
    }
};

// A table whose labels live in `texts` and whose in-place numbers live in `raw`.
struct Table {
    std::size_t rows, cols;
    std::vector<std::vector<std::string>> texts;
    std::vector<std::vector<char>> raw;
    std::vector<std::unique_ptr<TextsSource>> sources;
    ColumnBuffers buffers;

    Table(std::size_t r, std::size_t c)
        : rows(r), cols(c), texts(c), raw(c), sources(c), buffers(c) {}
    void set_text(std::size_t j, std::vector<std::string> t) {
        texts[j] = std::move(t);
        buffers.is_object[j] = true;
        buffers.labels[j].assign(texts[j].begin(), texts[j].end());
    }
    void set_numbers(std::size_t j, std::vector<double> v) { buffers.numbers[j] = std::move(v); }
    void set_text_source(std::size_t j, std::vector<std::string> t) {
        texts[j] = std::move(t);
        sources[j] = std::make_unique<TextsSource>(&texts[j]);
        buffers.is_object[j] = true;
        buffers.label_sources[j] = sources[j].get();
    }
    // Column j in place: `rows` elements of `type`, `stride` bytes apart.
    void set_view(std::size_t j, std::vector<char> bytes, std::ptrdiff_t stride,
                  NumberView::Type type) {
        raw[j] = std::move(bytes);
        buffers.number_views[j] = NumberView{raw[j].data(), stride, type};
    }

    std::vector<double> cells;
    FitState encode() {
        cells.assign(rows * cols, 0.0);
        return encode_object_array(rows, cols, buffers, cells.data());
    }
    // The same into a column-major buffer, returned row-major for comparison.
    std::vector<double> encode_col_major(FitState& fit) {
        std::vector<double> by_column(rows * cols, 0.0);
        fit =
            encode_object_array(rows, cols, buffers, CellTarget::col_major(by_column.data(), rows));
        std::vector<double> out(rows * cols);
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j) out[i * cols + j] = by_column[j * rows + i];
        return out;
    }
};

// A column of `rows` random values of one in-place type, and the doubles it must give.
template <class T>
std::vector<double> random_view(Table& t, std::size_t j, NumberView::Type type,
                                std::mt19937_64& rng) {
    const std::size_t rows = t.rows, step = 2 * sizeof(T);  // every other element: strided
    std::vector<char> bytes(rows * step);
    std::vector<double> want(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        T v;
        if constexpr (std::is_same_v<T, unsigned char>) {
            v = static_cast<unsigned char>(rng() % 3);  // a bool byte of 2 still reads as 1
            want[i] = v ? 1.0 : 0.0;
        } else {
            const std::uint64_t r = rng();
            std::memcpy(&v, &r, sizeof v);
            if constexpr (std::is_floating_point_v<T>) {
                if (v != v) v = T(1.5);
            }
            want[i] = static_cast<double>(v);
        }
        std::memcpy(bytes.data() + i * step, &v, sizeof v);
    }
    t.set_view(j, std::move(bytes), static_cast<std::ptrdiff_t>(step), type);
    return want;
}

// Columns of every kind: numbers, in-place numbers of four types, labels and label sources.
// `in_place`: the values the in-place columns must give.
Table random_table(std::size_t rows, std::size_t cols, std::uint64_t seed,
                   std::vector<std::vector<double>>& in_place) {
    using T = NumberView::Type;
    std::mt19937_64 rng(seed);
    Table t(rows, cols);
    in_place.assign(cols, {});
    for (std::size_t j = 0; j < cols; ++j) {
        const std::uint64_t kind = rng() % 6;
        if (kind == 1) {
            switch (rng() % 4) {
                case 0: in_place[j] = random_view<std::int32_t>(t, j, T::i32, rng); break;
                case 1: in_place[j] = random_view<std::uint64_t>(t, j, T::u64, rng); break;
                case 2: in_place[j] = random_view<float>(t, j, T::f32, rng); break;
                default: in_place[j] = random_view<unsigned char>(t, j, T::boolean, rng);
            }
        } else if (kind == 0) {
            std::vector<double> v(rows);
            for (double& d : v) d = std::bit_cast<double>(rng());  // any bit pattern, NaNs too
            t.set_numbers(j, std::move(v));
        } else {
            const std::size_t cardinality = 1 + rng() % (j % 2 ? 5 : rows);
            std::vector<std::string> labels(rows);
            for (auto& s : labels) {
                const std::uint64_t r = rng() % cardinality;
                s = r == 0 ? "nan" : "v" + std::to_string(r);
            }
            if (kind == 2) {
                t.set_text_source(j, std::move(labels));
            } else {
                t.set_text(j, std::move(labels));
            }
        }
    }
    return t;
}

}  // namespace

TEST_CASE("worked example: numbers copied, text column coded, maps both ways") {
    Table t(3, 2);
    t.set_numbers(0, {1.5, 2.5, 3.5});
    t.set_text(1, {"b", "a", "b"});
    const FitState fit = t.encode();
    CHECK(t.cells == std::vector<double>({1.5, 1, 2.5, 0, 3.5, 1}));
    CHECK(fit.encoded_columns == std::vector<ColumnIndex>({1}));
    CHECK(fit.code_maps.size() == 1);
    CHECK(labels_of(fit.code_maps.at(1)) == (std::vector<std::string>{"a", "b"}));
}

TEST_CASE("empty tables: no columns, no rows") {
    Table none(5, 0);
    const FitState a = encode_object_array(5, 0, none.buffers, nullptr);
    CHECK(a.encoded_columns.empty() && a.code_maps.empty());

    Table no_rows(0, 2);
    no_rows.set_text(1, {});
    const FitState b = encode_object_array(0, 2, no_rows.buffers, nullptr);
    CHECK(b.encoded_columns == std::vector<ColumnIndex>({1}));
    CHECK(b.code_maps.size() == 1 && b.code_maps.at(1).empty());
}

TEST_CASE("numeric columns are copied bit for bit") {
    const std::uint64_t patterns[] = {
        0x8000000000000000ull,  // -0.0
        0x7FF0000000000001ull,  // signalling NaN
        0x7FF8DEADBEEF0001ull,  // quiet NaN with payload
        0xFFF8000000000000ull,  // negative quiet NaN
        0x7FF0000000000000ull,  // +inf
        0x0000000000000001ull,  // smallest subnormal
    };
    const std::size_t rows = std::size(patterns);
    Table t(rows, 3);
    for (std::size_t j = 0; j < 3; ++j) {
        std::vector<double> v;
        for (std::size_t i = 0; i < rows; ++i)
            v.push_back(std::bit_cast<double>(patterns[(i + j) % rows]));
        t.set_numbers(j, v);
    }
    const FitState fit = t.encode();
    CHECK(fit.encoded_columns.empty());
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < 3; ++j)
            CHECK(bits(t.cells[i * 3 + j]) == patterns[(i + j) % rows]);
    }
}

TEST_CASE("the same labels in two columns give separate, equal maps; missing texts NaN") {
    Table t(4, 3);
    t.set_text(0, {"q", "<NA>", "p", "nan"});
    t.set_numbers(1, {7, 8, 9, 10});
    t.set_text(2, {"q", "<NA>", "p", "nan"});
    const FitState fit = t.encode();
    CHECK(fit.encoded_columns == std::vector<ColumnIndex>({0, 2}));
    CHECK(labels_of(fit.code_maps.at(0)) == (std::vector<std::string>{"p", "q"}));
    CHECK(fit.code_maps.at(2) == fit.code_maps.at(0) &&
          fit.code_maps.at(2).label(0).data() != fit.code_maps.at(0).label(0).data());
    const double nan = std::bit_cast<double>(0x7FF8000000000000ull);
    CHECK(same_bits(t.cells, {1, 7, 1, nan, 8, nan, 0, 9, 0, nan, 10, nan}));
}

TEST_CASE("a column whose length does not match the rows is refused before any write") {
    Table t(3, 2);
    t.set_numbers(0, {1, 2, 3});
    t.set_text(1, {"a", "b"});  // one short
    std::vector<double> cells(6, -1.0);
    CHECK(throws_runtime_error([&] { encode_object_array(3, 2, t.buffers, cells.data()); }));
    CHECK(std::all_of(cells.begin(), cells.end(), [](double d) { return d == -1.0; }));

    Table u(3, 1);
    u.set_numbers(0, {1, 2, 3, 4});  // one long
    CHECK(throws_runtime_error([&] { encode_object_array(3, 1, u.buffers, cells.data()); }));
    // Buffers for 1 column of a 2-column table; no cell buffer for a non-empty table.
    CHECK(throws_runtime_error([&] { encode_object_array(3, 2, u.buffers, cells.data()); }));
    u.set_numbers(0, {1, 2, 3});
    CHECK(throws_runtime_error([&] { encode_object_array(3, 1, u.buffers, nullptr); }));
}

TEST_CASE("random tables: same cells and fit in both layouts, on pools of 1, 2, 3 and 8") {
    for (const auto& [rows, cols] :
         {std::pair<std::size_t, std::size_t>{20000, 1}, {3000, 24}, {40000, 3}, {1, 5}}) {
        std::vector<std::vector<double>> in_place;
        Table t = random_table(rows, cols, rows + cols, in_place);
        // Each column on its own through label_encode: what the parallel pass must agree with.
        std::vector<double> want(rows * cols);
        for (std::size_t j = 0; j < cols; ++j) {
            if (!t.buffers.is_object[j]) {
                const std::vector<double>& v =
                    t.buffers.number_views[j] ? in_place[j] : t.buffers.numbers[j];
                for (std::size_t i = 0; i < rows; ++i) want[i * cols + j] = v[i];
                continue;
            }
            const std::vector<std::string_view> labels(t.texts[j].begin(), t.texts[j].end());
            const LabelEncoding enc = label_encode(labels);
            for (std::size_t i = 0; i < rows; ++i) want[i * cols + j] = enc.codes[i];
        }
        std::optional<FitState> first;
        for (std::size_t threads : {1, 2, 3, 8}) {
            pool::Pool p(threads);
            FitState fit;
            p.install([&] { fit = t.encode(); });
            CHECK(same_bits(t.cells, want));
            FitState by_column;
            std::vector<double> col_major;
            p.install([&] { col_major = t.encode_col_major(by_column); });
            CHECK(same_bits(col_major, want) && same_fit(by_column, fit));
            if (first) {
                CHECK(same_fit(fit, *first));
            } else {
                // Every text cell decodes to its own label through the fit.
                for (ColumnIndex j : fit.encoded_columns) {
                    CHECK(t.buffers.is_object[j]);
                    const CodeMap& m = fit.code_maps.at(j);
                    for (std::size_t i = 0; i < rows; ++i) {
                        const double d = t.cells[i * cols + j];
                        const std::string_view label = t.texts[j][i];
                        CHECK(label == "nan"
                                  ? std::isnan(d)
                                  : d >= 0 && d < double(m.size()) && m.label(Code(d)) == label);
                    }
                }
                first = std::move(fit);
            }
        }
    }
}

// Column-major bytes of every element type read as rows, as a Fortran-ordered array is: the
// same doubles as copying column by column, in either byte order.
TEST_CASE("columns copied side by side give what copying them one by one gives") {
    using T = NumberView::Type;
    const std::size_t rows = 300, cols = 5;
    std::mt19937_64 rng(7);
    std::vector<unsigned char> bytes(rows * cols * 8);
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(rng());
    for (const auto& [type, size] : {std::pair{T::i8, 1},
                                     {T::u16, 2},
                                     {T::f16, 2},
                                     {T::boolean, 1},
                                     {T::i32, 4},
                                     {T::f32, 4},
                                     {T::u64, 8},
                                     {T::f64, 8}}) {
        for (const bool swapped : {false, true}) {
            std::vector<NumberView> views(cols);
            for (std::size_t j = 0; j < cols; ++j) {
                views[j] = NumberView{reinterpret_cast<const char*>(bytes.data()) +
                                          j * rows * static_cast<std::size_t>(size),
                                      size, type};
                views[j].swapped = swapped && size > 1;
            }
            std::vector<double> want(rows * cols), got(rows * cols);
            for (std::size_t j = 0; j < cols; ++j)
                copy_numbers(views[j], 0, rows, want.data() + j, static_cast<std::ptrdiff_t>(cols));
            copy_rows_side_by_side(views.data(), cols, 7, rows, got.data() + 7 * cols);
            copy_rows_side_by_side(views.data(), cols, 0, 7, got.data());
            CHECK(same_bits(got, want));
        }
    }
}

TEST_CASE("SendPtr shares one count and never frees the buffer") {
    std::vector<double> buffer(4, 0.0);
    {
        SendPtr a(buffer.data());
        CHECK(a.get() == buffer.data() && a.use_count() == 1);
        SendPtr b = a;
        CHECK(a.use_count() == 2 && b.get() == buffer.data());
        SendPtr c = std::move(b);
        CHECK(b.get() == nullptr && b.use_count() == 0 && c.use_count() == 2);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([a, t] {
                for (int k = 0; k < 1000; ++k) {
                    SendPtr local = a;
                    local.get()[t] += 1;
                }
            });
        }
        for (auto& th : threads) th.join();
        CHECK(a.use_count() == 2);
        c = SendPtr();
        CHECK(a.use_count() == 1);
    }
    for (double d : buffer) CHECK(d == 1000);  // still ours, still intact
    buffer[0] = 5;
}

CHECK_MAIN()
