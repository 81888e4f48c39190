// Reads a table's cells into ColumnBuffers, deciding per column whether it holds numbers or
// text: a column stays numeric while every cell converts to a float, and turns text at its
// first cell that does not, its earlier numbers rendered as texts.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/records.hpp"
#include "python/input/cell_text.hpp"
#include "python/lookup.hpp"

namespace vandra {

class CellReader {
  public:
    CellReader(std::size_t rows, std::size_t cols) : rows_(rows), buffers_(cols) {}
    CellReader(const CellReader&) = delete;
    CellReader& operator=(const CellReader&) = delete;
    ~CellReader();  // the columns' buffers go back to the scratch pool for the next call

    // The next cell of column j, by the cell rules. Runs the cell's own Python code (float
    // conversion, str()) where it has any, and checks for signals every so many cells.
    void add(std::size_t j, PyObject* cell);
    // Column j, read in place from memory that outlives encoding.
    void set_numbers(std::size_t j, const NumberView& view) { buffers_.number_views[j] = view; }
    void set_text(std::size_t j, const LabelSource* source) {
        buffers_.is_object[j] = true;
        buffers_.label_sources[j] = source;
    }
    // The same, the source kept until encoding is done.
    void set_text(std::size_t j, std::unique_ptr<LabelSource> source) {
        owned_sources_.push_back(std::move(source));
        set_text(j, owned_sources_.back().get());
    }
    // Column j as a table of doubles and each row's position in it.
    void set_indexed_numbers(std::size_t j, std::vector<double> table, RowIds index);
    // Keeps the bytes of labels until encoding is done.
    LabelStore& store() { return store_; }
    // Column j from an array of object pointers, rows of them `stride` bytes apart. An empty
    // slot reads as None; a cell with Python code of its own is held while it is converted,
    // since that code may overwrite its slot.
    void add_slots(std::size_t j, const char* slots, std::ptrdiff_t stride);

    ColumnBuffers& buffers() { return buffers_; }

  private:
    void switch_to_text(std::size_t j);
    // The label of an exact str; repeated objects reuse their first copy.
    std::string_view str_label(PyObject* str);
    // The label of a cell in a text column, by the text rule; what no Python code decides
    // (None, bools, floats) is written here, and Decimals are remembered.
    std::string_view text_label(PyObject* cell);
    // A Decimal's float value and label, remembered by identity: both are pure functions of
    // its value, so asking once per object is asking every time.
    struct Decimal {
        PyRef obj;
        std::optional<double> number;
        std::string_view label;
        bool has_label = false;
    };
    Decimal* remembered_decimal(PyObject* cell);

    // A str seen recently, and its label. The entry holds a reference: a cell that nothing
    // else keeps (made afresh by item access, or dropped from its slot by Python code) would
    // otherwise be freed, and a new str made at its address would take its label.
    struct Seen {
        PyRef str;
        std::string_view label;
    };

  public:
    // Big enough for the distinct objects of a typical low-cardinality column, small
    // enough to stay in a core's cache.
    static constexpr std::size_t kSeen = 4096;

  private:
    static constexpr std::size_t kPrefetchAhead = 16;

    // Often enough that Ctrl-C stops a long read at once, rarely enough to cost nothing.
    static constexpr std::size_t kCellsPerSignalCheck = 1 << 14;

    std::size_t rows_;
    std::size_t since_check_ = 0;
    ColumnBuffers buffers_;
    LabelStore store_;  // holds the bytes of every label view until encoding is done
    std::deque<std::pair<std::vector<double>, RowIds>> indexed_numbers_;
    std::vector<std::unique_ptr<LabelSource>> owned_sources_;
    std::unique_ptr<Seen[]> seen_;                              // kSeen entries, once a str is met
    PyRef decimal_type_ = imported_attr("decimal", "Decimal");  // null: no Decimal can be here
    std::unique_ptr<Decimal[]> decimals_;                       // kSeen entries, once needed
};

}  // namespace vandra
