// The extension module `vandra`: multi-phase initialisation whose one execution step
// registers the process-wide Encoder class and `__all__`.
//
// Sub-interpreters: the Encoder class (and the internal-error class and NumPy's API
// table) are created once per process and would be shared across interpreters, which
// CPython does not allow for objects. So the execution step refuses any interpreter but
// the main one with an ImportError instead of letting objects leak between them.
#include <Python.h>

#include "lib/module/encoder.hpp"
#include "python/errors.hpp"

namespace vandra {
namespace {

int type_mismatch(PyObject* obj, PyTypeObject* expected) {
    PyRef got(PyType_GetName(Py_TYPE(obj)));
    PyRef want(PyType_GetName(expected));
    if (got && want) {
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", got.get(),
                     want.get());
    }
    return -1;
}

int module_exec(PyObject* module) {
    return guard_entry<int>(-1, [&]() -> int {
        if (!PyModule_Check(module)) return type_mismatch(module, &PyModule_Type);
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            PyErr_SetString(PyExc_ImportError,
                            "vandra can only be imported in the main interpreter");
            return -1;
        }
        PyObject* cls = encoder_class();
        if (!cls) return -1;
        PyRef all(PyObject_GetAttrString(module, "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            all = checked(PyList_New(0));
            check_status(PyObject_SetAttrString(module, "__all__", all.get()));
        } else if (!PyList_Check(all.get())) {
            return type_mismatch(all.get(), &PyList_Type);
        }
        PyRef name = checked(PyUnicode_FromString("Encoder"));
        check_status(PyList_Append(all.get(), name.get()));
        check_status(PyObject_SetAttrString(module, "Encoder", cls));
        return 0;
    });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "vandra",
    "Fast, exact label encoding of numpy arrays and pandas data frames.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vandra

extern "C" PyMODINIT_FUNC PyInit_vandra(void) {
    return PyModuleDef_Init(&vandra::kModule);
}
