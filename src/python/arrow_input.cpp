// pandas' Arrow-backed columns other than text: read through the Arrow C stream as 64-bit
// words. Numbers and timestamps are rendered; dates, durations and dictionary entries are
// boxed by pandas once per distinct value (a dictionary column by its indices).
#include "lib/internal_error.hpp"
#include "python/arrow_words.hpp"
#include "python/frame_readers.hpp"
#include "python/time_cells.hpp"

namespace vandra {

std::optional<ArrowStream> ArrowStream::of(PyObject* values) {
    PyRef chunked(PyObject_CallMethod(values, "__arrow_array__", nullptr));
    PyRef capsule = chunked ? PyRef(PyObject_CallMethod(chunked.get(), "__arrow_c_stream__", nullptr))
                            : PyRef();
    auto* stream = capsule ? static_cast<ArrowArrayStream*>(
                                 PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"))
                           : nullptr;
    if (!stream) {
        clear_ordinary_error();
        return std::nullopt;
    }
    // Move the stream out of the capsule: a released stream tells the capsule's destructor
    // that the consumer owns it now.
    ArrowStream owned;
    owned.stream_ = *stream;
    stream->release = nullptr;
    return owned;
}

std::unique_ptr<ColumnPlan> read_arrow_words(ArrowStream& stream, std::size_t rows) {
    std::string why;
    auto words = ArrowWords::import(stream.get(), why);
    if (!words || words->words.size() != rows) return nullptr;
    const std::vector<std::uint64_t>& w = words->words;
    const std::vector<std::uint8_t>& valid = words->valid;
    auto word = [&](std::size_t i) { return w[i]; };
    auto is_valid = [&](std::size_t i) { return valid[i] != 0; };
    const ArrowWords::Kind kind = words->kind;
    DistinctWords values =
        kind == ArrowWords::Kind::floating || kind == ArrowWords::Kind::timestamp
            ? distinct_words(rows, word, is_valid)
            : distinct_integers(rows, word, is_valid, kind != ArrowWords::Kind::unsigned_int);
    switch (words->kind) {
        case ArrowWords::Kind::signed_int: return number_plan(std::move(values), WordType::i64);
        case ArrowWords::Kind::unsigned_int: return number_plan(std::move(values), WordType::u64);
        case ArrowWords::Kind::floating: return number_plan(std::move(values), WordType::f64);
        case ArrowWords::Kind::boolean: return number_plan(std::move(values), WordType::boolean);
        case ArrowWords::Kind::timestamp:
            return datetime_plan(std::move(values), NumpyTimeUnit{words->unit, 1});
        case ArrowWords::Kind::other: return std::make_unique<BoxedPlan>(std::move(values.rows));
    }
    return nullptr;
}

}  // namespace vandra
