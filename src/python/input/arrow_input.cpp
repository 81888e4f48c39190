// pandas' Arrow-backed columns other than text: read through the Arrow C stream as 64-bit
// words. Numbers are copied, timestamps and durations rendered; dates and dictionary entries
// are boxed by pandas once per distinct value (a dictionary column by its indices).
#include <memory>

#include "python/arrow/arrow_words.hpp"
#include "python/errors.hpp"
#include "python/input/frame_readers.hpp"
#include "python/input/time_cells.hpp"

namespace vandra {

std::optional<ArrowStream> ArrowStream::of(PyObject* values) {
    PyRef chunked(PyObject_CallMethod(values, "__arrow_array__", nullptr));
    PyRef capsule = chunked
                        ? PyRef(PyObject_CallMethod(chunked.get(), "__arrow_c_stream__", nullptr))
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

ColumnRead read_arrow_words(ArrowStream& stream, std::size_t rows, std::vector<std::uint64_t>& w,
                            std::vector<std::uint8_t>& valid) {
    std::string why;
    auto arrow = ArrowWords::import(stream.get(), why);
    if (!arrow || arrow->length() != rows) return {};
    using K = ArrowWords::Kind;
    const K kind = arrow->kind();
    const bool number = kind == K::signed_int || kind == K::unsigned_int || kind == K::floating ||
                        kind == K::boolean;
    ColumnRead read;
    if (number) {
        // Numbers, alone or not: in place where they can be, else from the words (bools are
        // 0 and 1); nulls, which every frame hands out as pd.NA or NaN, as NaN.
        const NumberView::Type type = kind == K::signed_int ? NumberView::Type::i64
                                      : kind == K::floating ? NumberView::Type::f64
                                                            : NumberView::Type::u64;
        if (arrow->has_nulls()) {
            arrow->flatten(w, valid);
            return numbers_with_gaps(
                NumberView{reinterpret_cast<const char*>(w.data()), sizeof(std::uint64_t), type},
                rows, [&](std::size_t i) { return valid[i] == 0; });
        }
        auto owned = std::make_shared<ArrowWords>(std::move(*arrow));
        read.numbers = owned->in_place();
        if (read.numbers) {
            read.owner = std::move(owned);
            return read;
        }
        owned->flatten(read.words, valid);
        read.numbers = NumberView{reinterpret_cast<const char*>(read.words.data()),
                                  sizeof(std::uint64_t), type};
        return read;
    }
    arrow->flatten(w, valid);
    auto word = [&](std::size_t i) { return w[i]; };
    auto is_valid = [&](std::size_t i) { return valid[i] != 0; };
    DistinctWords values = kind == K::timestamp || kind == K::duration
                               ? distinct_words(rows, word, is_valid)
                               : distinct_integers(rows, word, is_valid, true);
    const NumpyTimeUnit unit{arrow->unit(), 1};
    switch (kind) {
        case K::timestamp:
            // A zone's object is pandas' to make from its name: zoned columns keep the sample.
            if (arrow->zoned()) return {datetime_plan(std::move(values), unit)};
            return {
                datetime_plan(std::move(values), unit, TimeArray::arrow, PyRef::borrow(Py_None))};
        case K::duration: return {timedelta_plan(std::move(values), unit, TimeArray::arrow)};
        case K::other: return {std::make_unique<BoxedPlan>(std::move(values.rows))};
        default: return {};
    }
    return {};
}

}  // namespace vandra
