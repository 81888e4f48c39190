// Categorical columns: a row's category code is its distinct value. Where the categories are
// held as Python objects, those objects are the cells every frame hands out (a sampled cell
// confirms it), so nothing is boxed; otherwise the frame boxes each category used (and the
// missing value) once.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/arrow/arrow_text_column.hpp"
#include "python/errors.hpp"
#include "python/input/array_input.hpp"
#include "python/input/frame_readers.hpp"

namespace vandra {
namespace {

// A categorical whose categories are read from where they are held: the missing value
// (code -1) and the first category met are sampled, the one for what the frame hands out for
// missing rows, the other to confirm how its categories come out.
class CategoryPlan : public ColumnPlan {
  public:
    std::vector<std::uint32_t> sampled() const override {
        std::vector<std::uint32_t> ids;
        for (const std::uint32_t id : {missing_, first_}) {
            if (id != DistinctRows::kNoId) ids.push_back(id);
        }
        return ids;
    }

  protected:
    CategoryPlan(DistinctRows rows, const std::vector<std::int64_t>& code_of)
        : ColumnPlan(std::move(rows)) {
        for (std::uint32_t id = 0; id < code_of.size(); ++id) {
            if (code_of[id] < 0) {
                missing_ = id;
            } else if (first_ == DistinctRows::kNoId) {
                first_ = id;
            }
        }
    }

    std::uint32_t missing_ = DistinctRows::kNoId, first_ = DistinctRows::kNoId;
};

// Categories held in an object array: a value's cell is its category's object.
class CategoryObjectsPlan final : public CategoryPlan {
  public:
    CategoryObjectsPlan(DistinctRows rows, std::vector<std::int64_t> code_of, PyRef objects)
        : CategoryPlan(std::move(rows), code_of),
          code_of_(std::move(code_of)),
          objects_(std::move(objects)) {}

    bool settle(DistinctCells::Boxer sample) override {
        if (first_ != DistinctRows::kNoId && sample(first_).get() != category(first_)) return false;
        cells_ = std::make_unique<BoxedCells>([this, sample = std::move(sample)](std::uint32_t id) {
            return id == missing_ ? sample(id) : PyRef::borrow(category(id));
        });
        return true;
    }

    bool boxes_from_sample(std::uint32_t id) const override { return id == missing_; }

  private:
    PyObject* category(std::uint32_t id) const {
        auto* arr = reinterpret_cast<PyArrayObject*>(objects_.get());
        PyObject* obj;
        std::memcpy(&obj, PyArray_GETPTR1(arr, static_cast<npy_intp>(code_of_[id])), sizeof obj);
        return obj ? obj : Py_None;
    }

    std::vector<std::int64_t> code_of_;  // per value
    PyRef objects_;
};

// Arrow-backed string categories: a used category's cell is a str of its text (so it has no
// float value), written from the Arrow buffers; the missing value's cell is the frame's own.
class CategoryTextCells final : public DistinctCells {
  public:
    CategoryTextCells(Boxer boxer, const std::vector<std::string_view>& texts,
                      std::uint32_t missing)
        : DistinctCells(std::move(boxer)), texts_(texts), missing_(missing) {}

  private:
    bool renders(std::uint32_t id) const override { return id != missing_; }
    std::optional<double> own_number(std::uint32_t) const override { return std::nullopt; }
    std::string_view own_text(std::uint32_t id) const override { return texts_[id]; }

    const std::vector<std::string_view>& texts_;
    std::uint32_t missing_;
};

// Arrow-string categories: a value's text is its category's, from the Arrow buffers.
class CategoryTextsPlan final : public CategoryPlan {
  public:
    CategoryTextsPlan(DistinctRows rows, const std::vector<std::int64_t>& code_of,
                      ArrowTextColumn column)
        : CategoryPlan(std::move(rows), code_of), column_(std::move(column)) {
        std::vector<std::string_view> all(column_.length());
        column_.fill(all.data());
        texts_.resize(code_of.size());
        for (std::uint32_t id = 0; id < code_of.size(); ++id) {
            if (code_of[id] >= 0) texts_[id] = all[static_cast<std::size_t>(code_of[id])];
        }
    }

    // The frame must hand out a str of the category's text.
    bool settle(DistinctCells::Boxer sample) override {
        if (first_ != DistinctRows::kNoId) {
            PyRef cell = sample(first_);
            if (!PyUnicode_CheckExact(cell.get())) return false;
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(cell.get(), &size);
            if (!utf8) {
                clear_ordinary_error();
                return false;
            }
            if (std::string_view(utf8, static_cast<std::size_t>(size)) != texts_[first_])
                return false;
        }
        cells_ = std::make_unique<CategoryTextCells>(std::move(sample), texts_, missing_);
        return true;
    }

  private:
    ArrowTextColumn column_;
    std::vector<std::string_view> texts_;  // per value, views into the column's buffers
};

constexpr std::size_t kManyUsed = 256;

// The categories' Arrow text, where they are held so.
std::optional<ArrowTextColumn> arrow_categories(PyObject* values, std::size_t count) {
    if (!values || pandas_compat::array_kind(values) != pandas_compat::ArrayKind::arrow)
        return std::nullopt;
    auto stream = ArrowStream::of(values);
    if (!stream) return std::nullopt;
    std::string why;
    auto column = ArrowTextColumn::import(stream->get(), why);
    if (!column || column->length() != count || column->first_valid() != 0) return std::nullopt;
    return column;
}

template <class T>
std::unique_ptr<ColumnPlan> by_codes(const char* data, npy_intp stride, std::size_t rows,
                                     std::size_t categories, PyRef objects,
                                     PyObject* arrow_values) {
    // Codes run from -1 (missing) to categories - 1; anything else is not a Categorical's.
    for (std::size_t i = 0; i < rows; ++i) {
        T c;
        std::memcpy(&c, data + static_cast<npy_intp>(i) * stride, sizeof c);
        if (c < -1 || static_cast<std::int64_t>(c) >= static_cast<std::int64_t>(categories))
            return nullptr;
    }
    DistinctRows d = distinct_codes(rows, categories + 1, [=](std::size_t i) {
        T c;
        std::memcpy(&c, data + static_cast<npy_intp>(i) * stride, sizeof c);
        return static_cast<std::size_t>(static_cast<std::int64_t>(c) + 1);
    });
    // Arrow text costs a pass over every category and two Python calls; boxing costs a
    // taken row per used category. The first pays where many categories are used.
    const bool many_used = d.count() >= kManyUsed && d.count() * 64 >= categories;
    auto texts = objects || !many_used ? std::nullopt : arrow_categories(arrow_values, categories);
    if (!objects && !texts) return std::make_unique<BoxedPlan>(std::move(d));
    std::vector<std::int64_t> code_of(d.count());
    for (std::uint32_t id = 0; id < code_of.size(); ++id) {
        T c;
        std::memcpy(&c, data + static_cast<npy_intp>(d.first_row[id]) * stride, sizeof c);
        code_of[id] = c;
    }
    if (texts) return std::make_unique<CategoryTextsPlan>(std::move(d), code_of, std::move(*texts));
    return std::make_unique<CategoryObjectsPlan>(std::move(d), std::move(code_of),
                                                 std::move(objects));
}

}  // namespace

std::unique_ptr<ColumnPlan> read_categorical(PyObject* values, std::size_t rows) {
    auto codes = pandas_compat::categorical_codes(values);
    if (!codes) return nullptr;
    auto* arr = reinterpret_cast<PyArrayObject*>(codes->codes.get());
    if (PyArray_NDIM(arr) != 1 || PyArray_DIM(arr, 0) != static_cast<npy_intp>(rows) ||
        !PyArray_ISNOTSWAPPED(arr))
        return nullptr;
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    const npy_intp stride = PyArray_STRIDE(arr, 0);
    const std::size_t n = codes->categories;
    using T = NumberView::Type;
    switch (number_type(arr)) {
        case T::i8:
            return by_codes<std::int8_t>(data, stride, rows, n, std::move(codes->objects),
                                         codes->values.get());
        case T::i16:
            return by_codes<std::int16_t>(data, stride, rows, n, std::move(codes->objects),
                                          codes->values.get());
        case T::i32:
            return by_codes<std::int32_t>(data, stride, rows, n, std::move(codes->objects),
                                          codes->values.get());
        case T::i64:
            return by_codes<std::int64_t>(data, stride, rows, n, std::move(codes->objects),
                                          codes->values.get());
        default: return nullptr;
    }
}

}  // namespace vandra
