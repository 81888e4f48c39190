#include "python/input/text_array_input.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/distinct_rows.hpp"
#include "lib/fixed_text.hpp"
#include "lib/utf8.hpp"
#include "python/errors.hpp"
#include "python/input/distinct_column.hpp"

namespace vandra {
namespace {

// "U" and "S" elements: text (or a bytes repr) rendered here unless the element could read
// as a number or holds a code point str() would not write as plain UTF-8.
class FixedTextCells final : public DistinctCells {
  public:
    FixedTextCells(Boxer boxer, const DistinctBytes& values, bool unicode)
        : DistinctCells(std::move(boxer)),
          views_(values.views),
          unicode_(unicode),
          rendered_(values.views.size()) {
        for (std::size_t id = 0; id < views_.size(); ++id) {
            const std::string_view v = views_[id];
            if (unicode_) {
                const auto text = ucs4_text(v.data(), v.size());
                rendered_[id] = text && !may_be_number(*text);
            } else {
                rendered_[id] = !may_be_number(bytes_value(v.data(), v.size()));
            }
        }
    }

  private:
    bool renders(std::uint32_t id) const override { return rendered_[id] != 0; }
    std::optional<double> own_number(std::uint32_t) const override { return std::nullopt; }
    std::string_view own_text(std::uint32_t id) const override {
        const std::string_view v = views_[id];
        scratch_ =
            unicode_ ? *ucs4_text(v.data(), v.size()) : bytes_repr(bytes_value(v.data(), v.size()));
        return scratch_;
    }

    const std::vector<std::string_view>& views_;
    bool unicode_;
    std::vector<std::uint8_t> rendered_;
};

// StringDType elements: a str cell (always text) per string; missing values boxed.
class StringCells final : public DistinctCells {
  public:
    StringCells(Boxer boxer, const DistinctBytes& values)
        : DistinctCells(std::move(boxer)), views_(values.views), rendered_(views_.size()) {
        for (std::size_t id = 0; id < views_.size(); ++id) {
            rendered_[id] =
                id != values.null_id && is_valid_utf8(views_[id].data(), views_[id].size());
        }
    }

  private:
    bool renders(std::uint32_t id) const override { return rendered_[id] != 0; }
    std::optional<double> own_number(std::uint32_t) const override { return std::nullopt; }
    std::string_view own_text(std::uint32_t id) const override { return views_[id]; }

    const std::vector<std::string_view>& views_;
    std::vector<std::uint8_t> rendered_;
};

void read_fixed_text_column(PyArrayObject* arr, std::size_t j, CellReader& reader) {
    const auto rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    const npy_intp s0 = PyArray_STRIDE(arr, 0);
    const auto width = static_cast<std::size_t>(PyArray_ITEMSIZE(arr));
    const char* column = static_cast<const char*>(PyArray_DATA(arr)) +
                         static_cast<npy_intp>(j) * PyArray_STRIDE(arr, 1);
    DistinctBytes values = distinct_bytes(
        rows,
        [=](std::size_t i) {
            return std::string_view(column + static_cast<npy_intp>(i) * s0, width);
        },
        [](std::size_t) { return true; });
    FixedTextCells cells(item_boxer(reinterpret_cast<PyObject*>(arr), values.rows, j), values,
                         PyArray_TYPE(arr) == NPY_UNICODE);
    read_distinct(reader, j, values.rows, cells);
}

// The strings are loaded (and the distinct ones copied) while the array's storage is locked,
// and no Python code runs meanwhile.
DistinctBytes load_strings(PyArrayObject* arr, const StringDTypeApi& api, std::size_t j,
                           LabelStore& store) {
    const auto rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    const npy_intp s0 = PyArray_STRIDE(arr, 0);
    const char* column = static_cast<const char*>(PyArray_DATA(arr)) +
                         static_cast<npy_intp>(j) * PyArray_STRIDE(arr, 1);
    std::unique_ptr<void, void (*)(void*)> allocator(api.acquire(PyArray_DESCR(arr)), api.release);
    std::vector<StringDTypeApi::Unpacked> loaded(rows);
    std::vector<std::int8_t> status(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        status[i] = static_cast<std::int8_t>(
            api.load(allocator.get(), column + static_cast<npy_intp>(i) * s0, &loaded[i]));
        if (status[i] < 0) throw InternalError("couldn't load a StringDType element");
    }
    DistinctBytes values = distinct_bytes(
        rows, [&](std::size_t i) { return std::string_view(loaded[i].buf, loaded[i].size); },
        [&](std::size_t i) { return status[i] == 0; });
    for (std::string_view& v : values.views) v = store.copy(v);
    return values;
}

}  // namespace

bool is_text_array(PyArrayObject* arr) {
    const int type = PyArray_TYPE(arr);
    if (type == NPY_STRING) return true;
    if (type == NPY_UNICODE) return PyArray_ISNOTSWAPPED(arr);
    return string_dtype_api(arr) != nullptr;
}

void read_text_array_column(PyArrayObject* arr, std::size_t j, CellReader& reader) {
    const StringDTypeApi* api = string_dtype_api(arr);
    if (!api) return read_fixed_text_column(arr, j, reader);
    DistinctBytes values = load_strings(arr, *api, j, reader.store());
    StringCells cells(item_boxer(reinterpret_cast<PyObject*>(arr), values.rows, j), values);
    read_distinct(reader, j, values.rows, cells);
}

}  // namespace vandra
