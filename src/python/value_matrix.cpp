#include "python/value_matrix.hpp"

#include "python/numpy_api.hpp"

namespace vandra {

ValueMatrix new_value_matrix(std::size_t rows, std::size_t cols, bool fortran) {
    ensure_numpy_api();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    ValueMatrix m;
    m.rows = rows;
    m.cols = cols;
    m.fortran = fortran;
    m.array = checked(PyArray_New(&PyArray_Type, 2, dims, NPY_DOUBLE, nullptr, nullptr, 0,
                                  fortran ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr));
    m.cells = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(m.array.get())));
    m.row_stride = fortran ? 1 : static_cast<std::ptrdiff_t>(cols);
    m.col_stride = fortran ? static_cast<std::ptrdiff_t>(rows) : 1;
    return m;
}

}  // namespace vandra
