// The Encoder class: instance record, constructor, deallocation, encode and decode.
#pragma once

#include <Python.h>

#include <memory>

#include "lib/borrow.hpp"
#include "lib/records.hpp"

namespace vandra {

struct EncoderObject {
    PyObject_HEAD std::unique_ptr<FitState> fit;  // absent until an encode() converts its input
    BorrowFlag borrow_flag;
};

// The process-wide Encoder class, created on first use; null with an exception set if
// creation failed.
PyObject* encoder_class();

}  // namespace vandra
