// How cells and names become label texts (UTF-8), and the storage that keeps label views
// valid for the length of one conversion.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/py_ref.hpp"

namespace vandra {

// Owns the bytes of every label view of one conversion: each label is copied once into
// blocks that never move, so a view stays valid whatever Python code does to the cell it
// came from, and reading a str costs no reference count traffic.
class LabelStore {
  public:
    LabelStore() = default;
    LabelStore(const LabelStore&) = delete;
    LabelStore& operator=(const LabelStore&) = delete;
    ~LabelStore();  // its blocks go back to the scratch pool for the next call
    std::string_view copy(std::string_view text);

  private:
    static constexpr std::size_t kBlock = std::size_t{1} << 20;
    std::vector<std::vector<char>> blocks_;
    char* free_ = nullptr;  // the unused end of the last block
    std::size_t left_ = 0;
};

// UTF-8 of a str object, copied into `store`. A string with unpaired
// surrogates is encoded with them passed through and decoded back with each invalid
// sequence replaced by U+FFFD.
std::string_view str_text(PyObject* str, LabelStore& store);

// The same rule, copied into an owned string (type names, column labels).
std::string str_text_copy(PyObject* str);

// pandas' missing marker (pd.NA, found by identity) for as long as a conversion runs on this
// thread. It has no float conversion of its own, yet it stands for a missing number: without
// this, a nullable number column with a gap would turn text beside other columns.
class MissingMarkerScope {
  public:
    MissingMarkerScope();
    ~MissingMarkerScope();
    MissingMarkerScope(const MissingMarkerScope&) = delete;
    MissingMarkerScope& operator=(const MissingMarkerScope&) = delete;

  private:
    PyRef marker_;
    PyObject* outer_;  // a conversion that a cell's own code started inside another
};

// Whether `cell` is pandas' missing marker (pd.NA) of the conversion running.
bool is_missing_marker(PyObject* cell);

// The float value of a cell, or nullopt if it has none (its float conversion fails with an
// ordinary error, which is cleared; an interrupt is passed on). pandas' missing marker is
// NaN, as a float NaN is.
std::optional<double> cell_number(PyObject* cell);

// str(cell) as a label; a failing str() is an internal failure.
std::string_view cell_text(PyObject* cell, LabelStore& store);

}  // namespace vandra
