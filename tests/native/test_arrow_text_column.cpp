// ArrowTextColumn against hand-made Arrow arrays: chunks, offsets, validity, both offset
// widths; and every malformed input refused with all arrays released.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "lib/label_encode.hpp"
#include "lib/utf8.hpp"
#include "python/arrow/arrow_text_column.hpp"

using namespace vandra;

namespace {

int live_arrays = 0;

// One array's buffers, owned by the array's private data.
struct Buffers {
    std::vector<std::uint8_t> validity;
    std::vector<std::int64_t> offsets64;
    std::vector<std::int32_t> offsets32;
    std::string data;
    const void* pointers[3] = {};
};

void release_array(ArrowArray* a) {
    delete static_cast<Buffers*>(a->private_data);
    a->release = nullptr;
    --live_arrays;
}

// The header of an array of `rows` rows (`offset` of them skipped) over `buffers`, which `own`
// holds and `release` frees.
ArrowArray array_over(const void** buffers, std::int64_t n_buffers, std::int64_t rows,
                      std::int64_t offset, void* own, void (*release)(ArrowArray*)) {
    ++live_arrays;
    ArrowArray a{};
    a.length = rows - offset;
    a.null_count = -1;
    a.offset = offset;
    a.n_buffers = n_buffers;
    a.buffers = buffers;
    a.release = release;
    a.private_data = own;
    return a;
}

// An array of `labels` (nullptr for a null row) starting `offset` rows into its buffers.
ArrowArray make_array(const std::vector<const char*>& labels, bool large, std::int64_t offset = 0,
                      bool with_validity = true) {
    auto* b = new Buffers;
    std::int64_t nulls = 0;
    b->validity.assign((labels.size() + 7) / 8 + 1, 0);
    std::int64_t at = 0;
    b->offsets64.push_back(0);
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (labels[i]) {
            b->validity[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
            b->data += labels[i];
            at += static_cast<std::int64_t>(std::strlen(labels[i]));
        } else {
            ++nulls;
        }
        b->offsets64.push_back(at);
    }
    for (std::int64_t o : b->offsets64) b->offsets32.push_back(static_cast<std::int32_t>(o));
    b->pointers[0] = with_validity ? b->validity.data() : nullptr;
    b->pointers[1] = large ? static_cast<const void*>(b->offsets64.data()) : b->offsets32.data();
    b->pointers[2] = b->data.data();
    return array_over(b->pointers, 3, static_cast<std::int64_t>(labels.size()), offset, b,
                      release_array);
}

// A dictionary-encoded array: int8 or int32 indices (-1 for a null row) into `entries`,
// starting `offset` rows into its buffers.
struct DictionaryBuffers {
    std::vector<std::uint8_t> validity;
    std::vector<std::int8_t> narrow;
    std::vector<std::int32_t> wide;
    ArrowArray dictionary;
    const void* pointers[2] = {};
};

ArrowArray make_dictionary_array(const std::vector<int>& indices,
                                 const std::vector<const char*>& entries, bool narrow,
                                 std::int64_t offset = 0) {
    auto* b = new DictionaryBuffers;
    b->validity.assign((indices.size() + 7) / 8 + 1, 0);
    for (std::size_t i = 0; i < indices.size(); ++i) {
        if (indices[i] >= 0) b->validity[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
        b->narrow.push_back(static_cast<std::int8_t>(indices[i] < 0 ? 0 : indices[i]));
        b->wide.push_back(indices[i] < 0 ? 0 : indices[i]);
    }
    b->dictionary = make_array(entries, false);
    b->pointers[0] = b->validity.data();
    b->pointers[1] = narrow ? static_cast<const void*>(b->narrow.data()) : b->wide.data();
    ArrowArray a = array_over(b->pointers, 2, static_cast<std::int64_t>(indices.size()), offset, b,
                              [](ArrowArray* self) {
                                  auto* own = static_cast<DictionaryBuffers*>(self->private_data);
                                  own->dictionary.release(&own->dictionary);
                                  delete own;
                                  self->release = nullptr;
                                  --live_arrays;
                              });
    a.dictionary = &b->dictionary;
    return a;
}

struct Stream {
    std::string format;
    std::vector<ArrowArray> arrays;
    std::size_t next = 0;
    bool fail_at_end = false;
};

ArrowArrayStream make_stream(Stream* state) {
    ArrowArrayStream out{};
    out.get_schema = [](ArrowArrayStream* st, ArrowSchema* schema) {
        // "c:u" is int8 indices into utf8 values, "i:u" int32 ones.
        static ArrowSchema values{};
        values.format = "u";
        const std::string& format = static_cast<Stream*>(st->private_data)->format;
        const bool dictionary = format.size() == 3 && format[1] == ':';
        *schema = ArrowSchema{};
        schema->format = dictionary ? (format[0] == 'c'   ? "c"
                                       : format[0] == 'f' ? "f"
                                                          : "i")
                                    : format.c_str();
        schema->dictionary = dictionary ? &values : nullptr;
        schema->release = [](ArrowSchema* sc) { sc->release = nullptr; };
        return 0;
    };
    out.get_next = [](ArrowArrayStream* st, ArrowArray* a) {
        auto* s = static_cast<Stream*>(st->private_data);
        if (s->next == s->arrays.size()) {
            if (s->fail_at_end) return 5;
            *a = ArrowArray{};
            return 0;
        }
        *a = s->arrays[s->next++];
        return 0;
    };
    out.get_last_error = [](ArrowArrayStream*) -> const char* { return "broken"; };
    out.release = [](ArrowArrayStream* st) {
        auto* s = static_cast<Stream*>(st->private_data);
        for (std::size_t k = s->next; k < s->arrays.size(); ++k)
            s->arrays[k].release(&s->arrays[k]);
        delete s;
        st->release = nullptr;
    };
    out.private_data = state;
    return out;
}

std::vector<std::string> labels_of(const ArrowTextColumn& c) {
    std::vector<std::string_view> views(c.length());
    c.fill(views.data());
    return {views.begin(), views.end()};
}

}  // namespace

TEST_CASE("chunks with offsets and nulls read as views, null labels around the first text") {
    for (const bool large : {false, true}) {
        auto* s = new Stream{large ? "U" : "u", {}};
        s->arrays.push_back(make_array({nullptr, nullptr}, large));
        s->arrays.push_back(make_array({"skipped", "é", nullptr, "", "ab"}, large, 1));
        s->arrays.push_back(make_array({}, large));
        s->arrays.push_back(make_array({"z"}, large, 0, false));
        ArrowArrayStream stream = make_stream(s);
        std::string why;
        {
            auto column = ArrowTextColumn::import(stream, why);
            CHECK(column && stream.release == nullptr && live_arrays == 4);
            CHECK(column->length() == 7 && column->first_valid() == std::size_t{2});
            column->set_null_labels("NaN", "nan");
            CHECK(labels_of(*column) ==
                  (std::vector<std::string>{"NaN", "NaN", "é", "nan", "", "ab", "z"}));
        }
        CHECK(live_arrays == 0);
    }
}

TEST_CASE("malformed streams are refused and every array released") {
    struct Bad {
        const char* name;
        std::string format;
        void (*spoil)(ArrowArray&);
        bool fail_at_end = false;
    };
    const Bad cases[] = {
        {"not a string type", "i", [](ArrowArray&) {}},
        {"utf8 only", "z", [](ArrowArray&) {}},
        {"offsets out of order", "u",
         [](ArrowArray& a) { static_cast<Buffers*>(a.private_data)->offsets32[2] = 0; }},
        {"negative offset", "u",
         [](ArrowArray& a) { static_cast<Buffers*>(a.private_data)->offsets32[0] = -1; }},
        {"invalid UTF-8", "u",
         [](ArrowArray& a) { static_cast<Buffers*>(a.private_data)->data[0] = '\xff'; }},
        {"a label starting inside a character", "u",
         [](ArrowArray& a) { static_cast<Buffers*>(a.private_data)->offsets32[1] = 1; }},
        {"missing offsets", "u",
         [](ArrowArray& a) { static_cast<Buffers*>(a.private_data)->pointers[1] = nullptr; }},
        {"wrong buffer count", "u", [](ArrowArray& a) { a.n_buffers = 2; }},
        {"negative length", "u", [](ArrowArray& a) { a.length = -1; }},
        {"overflowing offset", "u", [](ArrowArray& a) { a.offset = INT64_MAX; }},
        {"stream error", "u", [](ArrowArray&) {}, true},
    };
    for (const Bad& bad : cases) {
        auto* s = new Stream{bad.format, {}};
        s->arrays.push_back(make_array({"ok"}, false));
        s->arrays.push_back(make_array({"é", "x"}, false));
        bad.spoil(s->arrays.back());
        s->fail_at_end = bad.fail_at_end;
        ArrowArrayStream stream = make_stream(s);
        std::string why;
        const bool refused = !ArrowTextColumn::import(stream, why).has_value();
        if (!refused || why.empty() || live_arrays != 0 || stream.release != nullptr) {
            throw check::Failure(std::string("not refused cleanly: ") + bad.name);
        }
    }
}

TEST_CASE("dictionary chunks read through their indices, and encode as their rows' labels") {
    for (const bool narrow : {true, false}) {
        auto* s = new Stream{narrow ? "c:u" : "i:u", {}};
        s->arrays.push_back(make_dictionary_array({0, -1, 2, 1, 2}, {"b", "é", "a"}, narrow, 1));
        s->arrays.push_back(make_dictionary_array({-1, 1, 0, 1}, {"a", "zz", "unused"}, narrow));
        ArrowArrayStream stream = make_stream(s);
        std::string why;
        {
            auto column = ArrowTextColumn::import(stream, why);
            CHECK(column && column->length() == 8 && column->first_valid() == std::size_t{1});
            column->set_null_labels("NaN", "<NA>");
            const std::vector<std::string> want{"NaN", "a", "é", "a", "<NA>", "zz", "a", "zz"};
            CHECK(labels_of(*column) == want);
            // By the used entries, as the rows' labels would encode.
            std::vector<std::string_view> views(column->length());
            column->fill(views.data());
            std::vector<double> codes(views.size()), row_codes(views.size());
            const CodeMap map = column->encode(codes.data());
            const CodeMap row_map = label_encode(views, row_codes.data());
            CHECK(map.size() == 3 && map.size() == row_map.size());
            for (Code c = 0; c < map.size(); ++c) CHECK(map.label(c) == row_map.label(c));
            for (std::size_t i = 0; i < codes.size(); ++i) {
                CHECK(std::memcmp(&codes[i], &row_codes[i], sizeof(double)) == 0);
            }
        }
        CHECK(live_arrays == 0);
    }
}

TEST_CASE("malformed dictionary chunks are refused and every array released") {
    struct Bad {
        const char* name;
        std::string format;
        std::vector<int> indices;
        std::vector<const char*> entries;
        void (*spoil)(ArrowArray&);
    };
    auto none = [](ArrowArray&) {};
    const Bad cases[] = {
        {"index past the entries", "i:u", {0, 2}, {"a", "b"}, none},
        {"negative index",
         "i:u",
         {0, 1},
         {"a", "b"},
         [](ArrowArray& a) { static_cast<DictionaryBuffers*>(a.private_data)->wide[1] = -3; }},
        {"null entry", "i:u", {0, 1}, {"a", nullptr}, none},
        {"invalid UTF-8 entry", "i:u", {0}, {"\xff"}, none},
        {"indices not integers", "f:u", {0}, {"a"}, none},
        {"no dictionary", "i:u", {0}, {"a"}, [](ArrowArray& a) { a.n_buffers = 3; }},
    };
    for (const Bad& bad : cases) {
        auto* s = new Stream{bad.format, {}};
        s->arrays.push_back(make_dictionary_array({0}, {"ok"}, false));
        s->arrays.push_back(make_dictionary_array(bad.indices, bad.entries, false));
        bad.spoil(s->arrays.back());
        ArrowArrayStream stream = make_stream(s);
        std::string why;
        const bool refused = !ArrowTextColumn::import(stream, why).has_value();
        if (!refused || why.empty() || live_arrays != 0 || stream.release != nullptr) {
            throw check::Failure(std::string("not refused cleanly: ") + bad.name);
        }
    }
    // An index out of range in a null row names nothing and is accepted.
    auto* s = new Stream{"i:u", {}};
    s->arrays.push_back(make_dictionary_array({0, -1}, {"a"}, false));
    static_cast<DictionaryBuffers*>(s->arrays.back().private_data)->wide[1] = 99;
    ArrowArrayStream stream = make_stream(s);
    std::string why;
    CHECK(ArrowTextColumn::import(stream, why).has_value());
    CHECK(live_arrays == 0);
}

TEST_CASE("a byte of 0x80 or more is seen wherever it lies") {
    std::string text(70, 'a');
    for (std::size_t n = 0; n <= text.size(); ++n) {
        CHECK(is_ascii(text.data(), n));
        for (std::size_t at = 0; at < n; ++at) {
            text[at] = '\x80';
            CHECK(!is_ascii(text.data(), n));
            text[at] = 'a';
        }
    }
}

CHECK_MAIN()
