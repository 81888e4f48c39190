// How cells and names become label texts (UTF-8), and the storage that keeps label views
// valid for the length of one conversion.
#pragma once

#include <Python.h>

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "python/py_ref.hpp"

namespace vandra {

// Shortest round-trip digits in positional notation: 1.0 -> "1", 1e20 -> "1000...",
// -0.0 -> "-0", NaN -> "NaN", infinities -> "inf" / "-inf".
std::string float_to_text(double value);

// Owns whatever backs the label views of one conversion: references to str objects
// (whose cached UTF-8 the views point into) and texts made here.
class LabelStore {
  public:
    std::string_view keep(PyRef str, std::string_view utf8) {
        refs_.push_back(std::move(str));
        return utf8;
    }
    std::string_view own(std::string text) { return owned_.emplace_back(std::move(text)); }

  private:
    std::vector<PyRef> refs_;
    std::deque<std::string> owned_;  // deque: growing never moves the stored texts
};

// UTF-8 of a str object as a view kept alive by `store`. A string with unpaired
// surrogates is encoded with them passed through and decoded back with each invalid
// sequence replaced by U+FFFD.
std::string_view str_text(PyObject* str, LabelStore& store);

// The same rule, copied into an owned string (type names, column labels).
std::string str_text_copy(PyObject* str);

// str(cell) as a label; a failing str() is an internal failure.
std::string_view cell_text(PyObject* cell, LabelStore& store);

}  // namespace vandra
