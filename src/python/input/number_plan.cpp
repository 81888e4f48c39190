// Numbers read from memory: every valid value is a number; where the frame's `values` hands
// out Python ints, floats or bools (an object frame), their str() is written here too.
#include <bit>
#include <cmath>
#include <cstring>

#include "lib/number_text.hpp"
#include "python/errors.hpp"
#include "python/input/column_plan.hpp"
#include "python/numpy_api.hpp"

namespace vandra {
namespace {

enum class Style { numbers_only, python_objects };

double number_of(std::uint64_t word, WordType type) {
    switch (type) {
        case WordType::i64: return static_cast<double>(static_cast<std::int64_t>(word));
        case WordType::u64: return static_cast<double>(word);
        case WordType::f64: return std::bit_cast<double>(word);
        case WordType::boolean: return word != 0 ? 1.0 : 0.0;
    }
    return 0.0;
}

class NumberCells final : public DistinctCells {
  public:
    NumberCells(Boxer boxer, const DistinctWords& values, WordType type, Style style)
        : DistinctCells(std::move(boxer)), values_(values), type_(type), style_(style) {}

  private:
    bool renders(std::uint32_t id) const override { return id != values_.null_id; }
    std::optional<double> own_number(std::uint32_t id) const override {
        return number_of(values_.values[id], type_);
    }
    std::string_view own_text(std::uint32_t id) const override {
        const std::uint64_t w = values_.values[id];
        if (style_ == Style::numbers_only) {
            throw InternalError("a numeric frame column turned text");
        }
        switch (type_) {
            case WordType::i64: scratch_ = integer_text(static_cast<std::int64_t>(w)); break;
            case WordType::u64: scratch_ = integer_text(w); break;
            case WordType::f64: scratch_ = python_float_text(std::bit_cast<double>(w)); break;
            case WordType::boolean: return w != 0 ? "True" : "False";
        }
        return scratch_;
    }

    const DistinctWords& values_;
    WordType type_;
    Style style_;
};

// The Python type a value of this word type becomes in an object frame.
bool is_python_object_of(PyObject* cell, WordType type) {
    switch (type) {
        case WordType::i64:
        case WordType::u64: return PyLong_CheckExact(cell);
        case WordType::f64: return PyFloat_CheckExact(cell);
        case WordType::boolean: return PyBool_Check(cell);
    }
    return false;
}

// A numpy scalar: the frame's `values` is a numeric array, whose cells are all numbers.
bool is_numpy_number(PyObject* cell) {
    ensure_numpy_api();
    return PyArray_IsScalar(cell, Number) || PyArray_IsScalar(cell, Bool);
}

class NumberPlan final : public ColumnPlan {
  public:
    NumberPlan(DistinctWords values, WordType type)
        : ColumnPlan(std::move(values.rows)), values_(std::move(values)), type_(type) {}

    // The missing value, and the first number (to see what the frame makes of numbers).
    std::vector<std::uint32_t> sampled() const override {
        std::vector<std::uint32_t> ids;
        if (values_.null_id != DistinctRows::kNoId) ids.push_back(values_.null_id);
        if (first_number() < rows_.count()) ids.push_back(first_number());
        return ids;
    }

    bool settle(DistinctCells::Boxer sample) override {
        Style style = Style::numbers_only;
        const std::uint32_t first = first_number();
        if (first < rows_.count()) {
            PyRef cell = sample(first);
            if (is_python_object_of(cell.get(), type_)) {
                style = Style::python_objects;
            } else if (!is_numpy_number(cell.get())) {
                return false;
            }
            // The sampled cell must read as the number rendered for it.
            const double want = number_of(values_.values[first], type_);
            const double got = PyFloat_AsDouble(cell.get());
            if (got == -1.0 && PyErr_Occurred()) {
                clear_ordinary_error();
                return false;
            }
            if (!(got == want || (std::isnan(got) && std::isnan(want)))) return false;
        }
        cells_ = std::make_unique<NumberCells>(std::move(sample), values_, type_, style);
        return true;
    }

  private:
    // Ids count in row order, so the first number is value 0 unless the missing value is.
    std::uint32_t first_number() const { return values_.null_id == 0 ? 1 : 0; }

    DistinctWords values_;  // its rows moved to the plan; values and null id kept
    WordType type_;
};

}  // namespace

std::unique_ptr<ColumnPlan> number_plan(DistinctWords values, WordType type) {
    return std::make_unique<NumberPlan>(std::move(values), type);
}

}  // namespace vandra
