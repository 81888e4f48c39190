// Categorical columns: a row's category code is its distinct value. Where the categories are
// held as Python objects, those objects are the cells every frame hands out (a sampled cell
// confirms it), so nothing is boxed; otherwise the frame boxes each category used (and the
// missing value) once.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/scratch.hpp"
#include "python/arrow/arrow_text_column.hpp"
#include "python/errors.hpp"
#include "python/input/array_input.hpp"
#include "python/input/cell_text.hpp"
#include "python/input/frame_readers.hpp"
#include "python/input/render_trust.hpp"

namespace vandra {
namespace {

// A categorical whose categories are read from where they are held: the missing value
// (code -1) and the first category met are sampled, the one for what the frame hands out for
// missing rows, the other to confirm how its categories come out.
//
// Text categories come out as strs of their texts in every frame, and missing rows as NaN or
// pd.NA, both missing whether read as a number or as text. Once a frame has shown each in this
// process, later columns of that storage sample nothing for it: a frame's sample costs a
// taken frame and its `values`, which boxes every category, used or not. A frame that shows
// anything else keeps every later column of that storage on the sampled path.
struct TextTrust {
    RenderTrust texts, missing;
};
TextTrust object_texts_trust, arrow_texts_trust;

// The texts of a categorical's used categories, per value (the missing value's is empty) or
// per category. Where they strictly ascend with the categories' codes, as pandas keeps
// categories made from values, the codes order the texts: encoding then ranks codes, not
// texts.
struct CategoryTexts final : ValueRenderer, KeyedTexts {
    CategoryTexts(scratch::vector<std::int64_t> codes, std::size_t categories,
                  KeyedItems used_in_order) {
        key_of = std::move(codes);
        keys = categories;
        in_order = std::move(used_in_order);
    }

    // Rendered in ascending code order: read in that order where every category's text is
    // at hand.
    std::string_view text(const KeyedItem& value, char*) const override {
        return KeyedTexts::text(value);
    }
    // The text of value `id` (not the missing value).
    std::string_view of(std::uint32_t id) const {
        return by_key.empty() ? by_value[id] : by_key[static_cast<std::size_t>(key_of[id])];
    }

    scratch::vector<char> bytes;  // what the views show, where not held elsewhere
    bool ascending = false;
};

// Cells that are strs of their categories' texts (so they have no float value); the missing
// value's cell is the frame's own.
class CategoryTextCells final : public DistinctCells {
  public:
    // `render_missing`: the missing value is rendered as missing (NaN, "nan"), not boxed.
    CategoryTextCells(Boxer boxer, std::shared_ptr<const CategoryTexts> texts,
                      std::uint32_t missing, bool render_missing)
        : DistinctCells(std::move(boxer)),
          texts_(std::move(texts)),
          missing_(missing),
          render_missing_(render_missing) {}

  private:
    bool renders(std::uint32_t id) const override { return id != missing_ || render_missing_; }
    std::optional<double> own_number(std::uint32_t id) const override {
        if (id == missing_) return kQuietNaN;
        return std::nullopt;
    }
    std::string_view own_text(std::uint32_t id) const override {
        return id == missing_ ? std::string_view("nan") : texts_->of(id);
    }
    std::optional<TextKey> text_key(std::uint32_t id) const override {
        if (!texts_->ascending || id == missing_) return std::nullopt;
        return TextKey{texts_->key_of[id], 0};
    }
    std::shared_ptr<const ValueRenderer> renderer() const override {
        return texts_->ascending ? texts_ : nullptr;
    }

    std::shared_ptr<const CategoryTexts> texts_;
    std::uint32_t missing_;
    bool render_missing_;
};

class CategoryPlan : public ColumnPlan {
  public:
    std::unique_ptr<LabelSource> direct_labels() override {
        if (!ranked_) return nullptr;
        return std::make_unique<KeyRankLabels>(std::move(rows_.ids), std::move(ranked_));
    }

    std::vector<std::uint32_t> sampled() const override {
        std::vector<std::uint32_t> ids;
        const TextTrust* t = trust();
        if (missing_ != DistinctRows::kNoId && !(t && t->missing.confirmed()))
            ids.push_back(missing_);
        if (first_ != DistinctRows::kNoId && !(t && t->texts.confirmed())) ids.push_back(first_);
        return ids;
    }

  protected:
    CategoryPlan(DistinctRows rows, const scratch::vector<std::int64_t>& code_of)
        : ColumnPlan(std::move(rows)) {
        for (std::uint32_t id = 0; id < code_of.size(); ++id) {
            if (code_of[id] < 0) {
                missing_ = id;
            } else if (first_ == DistinctRows::kNoId) {
                first_ = id;
            }
        }
    }

    // Where this column's storage of text categories stands in this process; null where the
    // categories are not all texts.
    virtual TextTrust* trust() const { return nullptr; }

    // Whether the first category's cell is as expected (`check` tells), asked of the sample
    // unless known; the missing value's cell, where sampled, is learnt from. False: the frame
    // is read through `values`.
    template <class Check>
    bool first_as_expected(DistinctCells::Boxer& sample, Check check) const {
        TextTrust* t = trust();
        if (first_ != DistinctRows::kNoId && !(t && t->texts.confirmed())) {
            const bool ok = check(sample(first_).get());
            if (t) t->texts.learn(ok);
            if (!ok) return false;
        }
        if (t && missing_ != DistinctRows::kNoId && !t->missing.confirmed()) {
            PyRef cell = sample(missing_);
            const bool nan =
                PyFloat_CheckExact(cell.get()) && std::isnan(PyFloat_AS_DOUBLE(cell.get()));
            t->missing.learn(nan || is_missing_marker(cell.get()));
        }
        return true;
    }
    // Whether the missing value is rendered as missing rather than boxed.
    bool missing_known() const {
        const TextTrust* t = trust();
        return t && t->missing.confirmed();
    }

    // The cells of text categories. Where some category is used (else the column stays
    // numeric: all missing), the texts ascend with the codes and missing rows are known to be
    // missing, every row's label follows from its code's rank (direct_labels).
    void settle_texts(DistinctCells::Boxer sample, std::shared_ptr<const CategoryTexts> texts) {
        if (first_ != DistinctRows::kNoId && texts->ascending &&
            (missing_ == DistinctRows::kNoId || missing_known()))
            ranked_ = texts;
        cells_ = std::make_unique<CategoryTextCells>(std::move(sample), std::move(texts), missing_,
                                                     missing_known());
    }

    std::uint32_t missing_ = DistinctRows::kNoId, first_ = DistinctRows::kNoId;
    std::shared_ptr<const KeyedTexts> ranked_;
};

// Categories held in an object array: a value's cell is its category's object. Where every
// used category is a str, its text is read once from the object.
class CategoryObjectsPlan final : public CategoryPlan {
  public:
    CategoryObjectsPlan(DistinctRows rows, scratch::vector<std::int64_t> code_of, PyRef objects,
                        std::size_t categories)
        : CategoryPlan(std::move(rows), code_of),
          code_of_(std::move(code_of)),
          objects_(std::move(objects)),
          categories_(categories),
          in_order_(values_by_key(code_of_, categories)),
          texts_(str_texts()) {}

    bool settle(DistinctCells::Boxer sample) override {
        if (!first_as_expected(sample, [&](PyObject* cell) { return cell == category(first_); }))
            return false;
        if (texts_) {
            auto texts = std::make_shared<CategoryTexts>(std::move(code_of_), categories_,
                                                         std::move(in_order_));
            texts->ascending = ascends_;
            texts->by_value = std::move(*texts_);
            texts->by_key = std::move(by_code_);
            texts->bytes = std::move(arena_);
            settle_texts(std::move(sample), std::move(texts));
            return true;
        }
        cells_ = std::make_unique<BoxedCells>([this, sample = std::move(sample)](std::uint32_t id) {
            return id == missing_ ? sample(id) : PyRef::borrow(category(id));
        });
        return true;
    }

    bool boxes_from_sample(std::uint32_t id) const override {
        return id == missing_ && cells_->boxes(id);  // the others are the categories
    }

  private:
    TextTrust* trust() const override { return texts_ ? &object_texts_trust : nullptr; }

    PyObject* category(std::uint32_t id) const { return category_of_code(code_of_[id]); }
    PyObject* category_of_code(std::int64_t code) const {
        auto* arr = reinterpret_cast<PyArrayObject*>(objects_.get());
        PyObject* obj;
        std::memcpy(&obj, PyArray_GETPTR1(arr, static_cast<npy_intp>(code)), sizeof obj);
        return obj ? obj : Py_None;
    }

    // The UTF-8 of each used category, where all are strs, read in the categories' order and
    // copied side by side: the strs lie wherever the data made them, often in another order,
    // and the order check, the sort and the fit read every text again. Where most categories
    // are used, the texts are kept per category (the fit is written from them in that order),
    // else per value.
    std::optional<scratch::vector<std::string_view>> str_texts() {
        std::vector<std::size_t> ends;
        ends.reserve(in_order_.size());
        arena_.reserve(in_order_.size() * 16);
        constexpr std::size_t kAhead = 16;  // strs fetched ahead: each one is a cache miss
        for (std::size_t k = 0; k < in_order_.size(); ++k) {
            if (k + kAhead < in_order_.size()) {
                const char* ahead =
                    reinterpret_cast<const char*>(category_of_code(in_order_[k + kAhead].key));
                __builtin_prefetch(ahead);
                __builtin_prefetch(ahead + 64);
            }
            PyObject* obj = category_of_code(in_order_[k].key);
            if (!PyUnicode_CheckExact(obj)) return std::nullopt;
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
            if (!utf8) {  // lone surrogates: the cell rules say what str() of it gives
                clear_ordinary_error();
                return std::nullopt;
            }
            arena_.insert(arena_.end(), utf8, utf8 + size);
            ends.push_back(arena_.size());
        }
        scratch::vector<std::string_view> texts;
        if (categories_ <= 4 * in_order_.size()) {
            by_code_.resize(categories_);
        } else {
            texts.resize(code_of_.size());
        }
        // Whether the texts ascend with the codes, checked here where they lie in code order
        // side by side.
        std::size_t begin = 0;
        std::string_view before;
        for (std::size_t k = 0; k < in_order_.size(); ++k) {
            const std::uint32_t id = in_order_[k].item;
            const std::string_view text(arena_.data() + begin, ends[k] - begin);
            if (k > 0 && !(before < text)) ascends_ = false;
            if (by_code_.empty()) {
                texts[id] = text;
            } else {
                by_code_[static_cast<std::size_t>(in_order_[k].key)] = text;
            }
            before = text;
            begin = ends[k];
        }
        return texts;
    }

    scratch::vector<std::int64_t> code_of_;  // per value
    PyRef objects_;
    std::size_t categories_;
    KeyedItems in_order_;                                     // the used values, by code
    scratch::vector<char> arena_;                             // the texts' bytes
    bool ascends_ = true;                                     // the texts ascend with the codes
    scratch::vector<std::string_view> by_code_;               // per category, or empty
    std::optional<scratch::vector<std::string_view>> texts_;  // where every used category is a str
};

// Arrow-string categories: a value's text is its category's, from the Arrow buffers.
class CategoryTextsPlan final : public CategoryPlan {
  public:
    CategoryTextsPlan(DistinctRows rows, const scratch::vector<std::int64_t>& code_of,
                      ArrowTextColumn column)
        : CategoryPlan(std::move(rows), code_of), column_(std::move(column)), code_of_(code_of) {
        // Every category's view where most are used (the fit is then written from them in
        // category order), else only the used ones'.
        if (column_.length() <= 4 * code_of.size()) {
            all_.resize(column_.length());
            column_.fill(all_.data());
        }
        if (!all_.empty()) return;
        texts_.resize(code_of.size());
        for (std::uint32_t id = 0; id < code_of.size(); ++id) {
            if (code_of[id] >= 0) texts_[id] = column_.label(static_cast<std::size_t>(code_of[id]));
        }
    }

    // The frame must hand out a str of the category's text.
    bool settle(DistinctCells::Boxer sample) override {
        if (!first_as_expected(sample, [&](PyObject* cell) { return is_text(cell); })) return false;
        KeyedItems in_order = values_by_key(code_of_, column_.length());
        auto texts = std::make_shared<CategoryTexts>(std::move(code_of_), column_.length(),
                                                     std::move(in_order));
        texts->by_value = std::move(texts_);
        texts->by_key = std::move(all_);
        texts->ascending = texts->ascend();
        settle_texts(std::move(sample), std::move(texts));
        return true;
    }

  private:
    TextTrust* trust() const override { return &arrow_texts_trust; }

    bool is_text(PyObject* cell) const {
        if (!PyUnicode_CheckExact(cell)) return false;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(cell, &size);
        if (!utf8) {
            clear_ordinary_error();
            return false;
        }
        const std::string_view first =
            all_.empty() ? texts_[first_] : all_[static_cast<std::size_t>(code_of_[first_])];
        return std::string_view(utf8, static_cast<std::size_t>(size)) == first;
    }

    ArrowTextColumn column_;
    scratch::vector<std::int64_t> code_of_;
    scratch::vector<std::string_view> all_;    // per category (or empty), views into the buffers
    scratch::vector<std::string_view> texts_;  // per value, where all_ is empty
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
    // The least and the greatest tell, in a loop without branches.
    std::int64_t lo = 0, hi = -1;
    for (std::size_t i = 0; i < rows; ++i) {
        T c;
        std::memcpy(&c, data + static_cast<npy_intp>(i) * stride, sizeof c);
        lo = std::min<std::int64_t>(lo, c);
        hi = std::max<std::int64_t>(hi, c);
    }
    if (lo < -1 || hi >= static_cast<std::int64_t>(categories)) return nullptr;
    DistinctRows d = distinct_codes(rows, categories + 1, [=](std::size_t i) {
        T c;
        std::memcpy(&c, data + static_cast<npy_intp>(i) * stride, sizeof c);
        return static_cast<std::size_t>(static_cast<std::int64_t>(c) + 1);
    });
    // Arrow text costs a pass over every category and two Python calls; boxing costs a
    // taken row per used category, and the taken frame's `values` boxes every category. The
    // first pays where many categories are used, or where no row need be taken at all: once
    // the process has checked Arrow text categories, and until then to check them.
    const bool many_used = d.count() >= kManyUsed && d.count() * 64 >= categories;
    const bool try_texts = many_used || !arrow_texts_trust.texts.refuted();
    auto texts = objects || !try_texts ? std::nullopt : arrow_categories(arrow_values, categories);
    if (!objects && !texts) return std::make_unique<BoxedPlan>(std::move(d));
    scratch::vector<std::int64_t> code_of(d.count());
    for (std::uint32_t id = 0; id < code_of.size(); ++id) {
        T c;
        std::memcpy(&c, data + static_cast<npy_intp>(d.first_row[id]) * stride, sizeof c);
        code_of[id] = c;
    }
    if (texts) return std::make_unique<CategoryTextsPlan>(std::move(d), code_of, std::move(*texts));
    return std::make_unique<CategoryObjectsPlan>(std::move(d), std::move(code_of),
                                                 std::move(objects), categories);
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
