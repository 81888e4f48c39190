// Everything vandra knows of pandas' private internals, in one place: how a DataFrame's
// columns are held (its block manager's blocks and their column positions), what each kind
// of column array keeps inside, where pandas' own classes are defined, and how it builds
// frames and infers dtypes. Checked on pandas 2.2, 3.0 and 3.1. Every lookup answers "not
// recognised" (false, null, nullopt, ArrayKind::other) for anything else: a frame is then
// read through its public `values`, and results are built through pandas' public API alone.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "python/py_ref.hpp"

namespace vandra::pandas_compat {

// Whether obj's type is exactly the DataFrame class of the imported pandas (pandas is never
// imported here: a frame cannot exist without it).
bool is_frame(PyObject* obj);

// pandas' own classes, as defined in its modules (a stand-in put in their place elsewhere
// does not pass).
enum class Class { frame, series, index };
bool is_own_class(PyObject* cls, Class which);

// Whether a frame result built now keeps a Fortran-ordered float64 array as its block
// without copying it: the imported pandas has its own DataFrame class.
bool frames_keep_fortran_floats();

// Whether pandas' concat copies every block unless told `copy=False` (pandas before 3; pandas 3
// copies lazily and warns on the keyword). False where the version is not known.
bool concat_copies_by_default();

// Whether pandas infers its str dtype for a list of str (else object); nullopt if unknown.
std::optional<bool> infers_string_dtype();

// One block of a frame: its array (2-D numpy of shape (columns, rows), or an extension array
// of one column) and the frame positions of its columns.
struct Block {
    PyRef values;
    std::vector<std::size_t> locs;
};
std::optional<std::vector<Block>> frame_blocks(PyObject* frame);

// Whether the frame's `values` is an object array filled block by block (each block's
// get_values(object): Timestamps and Timedeltas for datetime-like blocks): the frame has
// several blocks and pandas interleaves their dtypes to numpy's object dtype. False where that
// is not so or pandas' rule is not found.
bool values_are_object_blocks(PyObject* frame, std::size_t blocks);

// The classes of column arrays the readers know, matched exactly.
enum class ArrayKind {
    numpy,          // numpy.ndarray
    python_string,  // StringArray: an object array of str and a missing marker
    arrow,          // ArrowExtensionArray, ArrowStringArray (and pandas 2.2's NumPy-semantics one)
    categorical,    // Categorical
    datetime,       // DatetimeArray, naive or tz-aware
    timedelta,      // TimedeltaArray
    period,         // PeriodArray
    masked,         // IntegerArray, FloatingArray, BooleanArray
    other,
};
ArrayKind array_kind(PyObject* values);

// The numpy array inside a StringArray, DatetimeArray, TimedeltaArray or PeriodArray (for
// the last three, int64-sized values; 2-D like their block).
PyRef backing_ndarray(PyObject* values);
// A Categorical's codes (-1 for a missing value) and its number of categories.
struct Codes {
    PyRef codes;
    std::size_t categories = 0;
    // The categories as the 1-D object array that holds them (an object Index's, or a
    // python-backed string Index's), where they are held so; else null.
    PyRef objects;
    PyRef values;  // else the array that holds them (its _values), or null
};
std::optional<Codes> categorical_codes(PyObject* values);
// A masked array's data and its mask (true: missing).
struct Masked {
    PyRef data, mask;
};
std::optional<Masked> masked_parts(PyObject* values);
// The missing-value marker of an extension array's dtype (dtype.na_value).
PyRef na_value(PyObject* values);

}  // namespace vandra::pandas_compat
