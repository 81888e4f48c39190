#include "lib/module/encoder.hpp"

#include <cstring>
#include <new>
#include <optional>

#include "lib/module/binder.hpp"
#include "python/errors.hpp"
#include "python/input/convert.hpp"
#include "python/once.hpp"
#include "python/output/output.hpp"

namespace vandra {
namespace {

constexpr const char* kEncodingParams[] = {"encoding"};
constexpr const char* kObjParams[] = {"obj"};
constexpr ParamList kNewParams{"Encoder.__new__()", kEncodingParams, 0};
constexpr ParamList kEncodeParams{"Encoder.encode()", kObjParams, 1};
constexpr ParamList kDecodeParams{"Encoder.decode()", kObjParams, 1};

// Validates `encoding`: absent, None, or a str whose UTF-8 bytes are exactly "label".
bool validate_encoding(PyObject* encoding) {
    if (!encoding || encoding == Py_None) return true;
    if (!PyUnicode_Check(encoding)) {
        PyRef name(PyType_GetName(Py_TYPE(encoding)));
        if (name) {
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'str'", name.get());
        }
        add_parameter_note("encoding");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(encoding, &size);
    if (!utf8) {
        add_parameter_note("encoding");
        return false;
    }
    if (size == 5 && std::memcmp(utf8, "label", 5) == 0) return true;
    PyErr_Format(PyExc_ValueError, "%U is not a supported encoding strategy for strings!",
                 encoding);
    return false;
}

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_tuple_dict(kNewParams, args, kwargs, bound)) return nullptr;
        if (!validate_encoding(bound[0])) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* enc = reinterpret_cast<EncoderObject*>(self);
        new (&enc->fit) std::unique_ptr<FitState>();
        new (&enc->borrow_flag) BorrowFlag();
        return self;
    });
}

void encoder_dealloc(PyObject* self) {
    auto* enc = reinterpret_cast<EncoderObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    // Destroying plain C++ maps cannot raise a Python error; the fields go first so
    // that the memory is released only once they are gone.
    enc->fit.~unique_ptr<FitState>();
    enc->borrow_flag.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

// Holds one kind of access for the duration of a call; released on every exit path.
class Access {
  public:
    static std::optional<Access> exclusive(EncoderObject* enc) {
        if (!enc->borrow_flag.try_exclusive()) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return std::nullopt;
        }
        return Access(enc, true);
    }
    static std::optional<Access> shared(EncoderObject* enc) {
        if (!enc->borrow_flag.try_shared()) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return std::nullopt;
        }
        return Access(enc, false);
    }
    Access(Access&& o) noexcept : enc_(std::exchange(o.enc_, nullptr)), exclusive_(o.exclusive_) {}
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    Access& operator=(Access&&) = delete;
    ~Access() {
        if (!enc_) return;
        if (exclusive_) {
            enc_->borrow_flag.release_exclusive();
        } else {
            enc_->borrow_flag.release_shared();
        }
    }

  private:
    Access(EncoderObject* enc, bool exclusive) : enc_(enc), exclusive_(exclusive) {}
    EncoderObject* enc_;
    bool exclusive_;
};

PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_vectorcall(kEncodeParams, args, nargs, kwnames, bound)) return nullptr;
        auto* enc = reinterpret_cast<EncoderObject*>(self);
        auto access = Access::exclusive(enc);
        if (!access) return nullptr;
        Conversion conv = pyany_to_vec(bound[0]);
        // The new fit replaces the old one before the result is built: a failure while
        // building still leaves this call's fit in place.
        enc->fit = std::move(conv.fit);
        return arr_to_out(conv.matrix, std::move(conv.out), nullptr).release();
    });
}

PyObject* encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
        BoundArgs bound;
        if (!bind_vectorcall(kDecodeParams, args, nargs, kwnames, bound)) return nullptr;
        auto* enc = reinterpret_cast<EncoderObject*>(self);
        auto access = Access::shared(enc);
        if (!access) return nullptr;
        Conversion conv = pyany_to_vec(bound[0]);
        conv.fit.reset();  // decode never keeps the fit of its own input
        return arr_to_out(conv.matrix, std::move(conv.out), enc->fit.get()).release();
    });
}

PyMethodDef kMethods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_encode)),
     METH_FASTCALL | METH_KEYWORDS, "encode($self, obj)\n--\n\n"},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_decode)),
     METH_FASTCALL | METH_KEYWORDS, "decode($self, obj)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* create_encoder_class() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Encoder(encoding=None)\n--\n\n")},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
        {Py_tp_methods, kMethods},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "builtins.Encoder", static_cast<int>(sizeof(EncoderObject)), 0, Py_TPFLAGS_DEFAULT, slots,
    };
    PyObject* cls = PyType_FromSpec(&spec);
    if (!cls) {
        PyRef cause = take_pending_exception();
        PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class Encoder");
        PyRef exc = take_pending_exception();
        PyException_SetCause(exc.get(), cause.release());  // steals the cause
        restore_exception(std::move(exc));
    }
    return cls;
}

}  // namespace

PyObject* encoder_class() {
    static PyOnce<PyObject> once;
    return once.get(create_encoder_class);
}

}  // namespace vandra
