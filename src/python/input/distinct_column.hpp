// Columns read as their distinct values (lib/distinct_rows.hpp): the cell of each distinct
// value is met once, and the cell rules run per value in row order. A value's cell is either
// the Python object that `values` or item access would hand out for it, boxed once, or
// described in C++ where its float value and its str() are known exactly, so that nothing is
// boxed at all.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/distinct_rows.hpp"
#include "python/input/cell_reader.hpp"
#include "python/py_ref.hpp"

namespace vandra {

class DistinctCells {
  public:
    // Makes the cell of a value that is not described here, as `values` or item access would
    // hand it out. Called at most once per value, when the cell rules first need the cell.
    using Boxer = std::function<PyRef(std::uint32_t id)>;

    explicit DistinctCells(Boxer boxer) : boxer_(std::move(boxer)) {}
    virtual ~DistinctCells() = default;

    // The float value of value id's cell, or nullopt if it has none. May run Python code.
    std::optional<double> number(std::uint32_t id);
    // str() of value id's cell, copied into `store`. May run Python code.
    std::string_view text(std::uint32_t id, LabelStore& store);
    // For a value whose text is rendered here, a key such that the rendered texts of distinct
    // values are distinct and ascend as (key, tie) does: encoding then sorts the keys instead
    // of the texts. nullopt where there is none.
    struct TextKey {
        std::int64_t key;
        std::uint32_t tie;
    };
    std::optional<TextKey> key(std::uint32_t id) const {
        return renders(id) ? text_key(id) : std::nullopt;
    }
    // Whether value id's cell comes from the boxer.
    bool boxes(std::uint32_t id) const { return !renders(id); }
    // Renders the texts of the values that have keys, for as long as encoding needs them.
    virtual std::shared_ptr<const ValueRenderer> renderer() const { return nullptr; }

  protected:
    // Whether value id's float value and text are known here; otherwise its cell is boxed.
    virtual bool renders(std::uint32_t id) const = 0;
    virtual std::optional<double> own_number(std::uint32_t id) const = 0;
    // Valid until the next call (subclasses render into `scratch_`).
    virtual std::string_view own_text(std::uint32_t id) const = 0;
    virtual std::optional<TextKey> text_key(std::uint32_t) const { return std::nullopt; }

    mutable std::string scratch_;

  private:
    PyObject* cell(std::uint32_t id);

    Boxer boxer_;
    std::vector<PyRef> boxed_;
};

// Cells that are all boxed.
class BoxedCells final : public DistinctCells {
  public:
    using DistinctCells::DistinctCells;

  private:
    bool renders(std::uint32_t) const override { return false; }
    std::optional<double> own_number(std::uint32_t) const override { return std::nullopt; }
    std::string_view own_text(std::uint32_t) const override { return {}; }
};

// Boxes value id as target[(first row of id, j)], as the cell-by-cell reading of an array
// (or of a frame's `values`) does.
DistinctCells::Boxer item_boxer(PyObject* target, const DistinctRows& rows, std::size_t j);

// Column j of `reader` from its rows' distinct values, by the cell rules: a number per value
// until the first value (in row order) whose cell has none; from that value's first row on,
// every row takes its value's str(), and the rows before it their number's text. Float
// conversions and str() run in the order the cell-by-cell reading would first run them.
// Takes the rows' ids; their first rows stay (a boxer may read them).
void read_distinct(CellReader& reader, std::size_t j, DistinctRows& rows, DistinctCells& cells);

}  // namespace vandra
