#include "python/output/encode_result.hpp"

#include "python/column_labels.hpp"
#include "python/errors.hpp"
#include "python/new_objects.hpp"
#include "python/numpy_api.hpp"
#include "python/pandas_compat.hpp"

namespace vandra {

PyRef frame_result(ValueMatrix& m, const OUT::Frame& out, bool& own_frame) {
    PyRef pandas = checked(PyImport_ImportModule("pandas"));
    PyRef ctor = checked(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    const bool own_class = pandas_compat::is_own_class(ctor.get(), pandas_compat::Class::frame);
    PyRef kwargs = allocated(PyDict_New());
    PyRef names = result_columns(out, own_class);
    check_status(PyDict_SetItemString(kwargs.get(), "columns", names.get()));
    PyRef floats;
    if (own_class && m.fortran) {
        // pandas copies a float array into Fortran order unless told not to; ours is fresh,
        // already in that order and referenced by nothing else, so the frame can own it.
        check_status(PyDict_SetItemString(kwargs.get(), "copy", Py_False));
        floats = PyRef::borrow(m.array.get());
    } else if (m.fortran) {
        floats =
            allocated(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(m.array.get()), NPY_CORDER));
    } else {
        floats = PyRef::borrow(m.array.get());
    }
    PyRef args = allocated(PyTuple_Pack(1, floats.get()));
    PyRef frame = checked(PyObject_Call(ctor.get(), args.get(), kwargs.get()));
    own_frame = own_class && reinterpret_cast<PyObject*>(Py_TYPE(frame.get())) == ctor.get();
    return frame;
}

}  // namespace vandra
