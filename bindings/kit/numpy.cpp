// Every use of NumPy's C interface lives in this file. The interface is
// fetched on the first array conversion, not at import, so importing the
// module stays cheap and works before NumPy is needed.
#include "kit/kit.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL AERLOX_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstring>

namespace kit {
namespace {

void ensure_numpy() {
  static bool ready = false;
  if (ready) return;
  if (_import_array() < 0) {
    std::string detail;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (value != nullptr) {
      PyObject* s = PyObject_Str(value);
      if (s != nullptr && PyUnicode_AsUTF8(s) != nullptr) detail = PyUnicode_AsUTF8(s);
      Py_XDECREF(s);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    PyErr_Clear();
    raise(panic_exception(), "Failed to access NumPy array API capsule: " + detail);
  }
  ready = true;
}

const char* array_label(std::size_t ndim) {
  return ndim == 1 ? "PyArray<f64, Ix1>" : "PyArray<f64, Ix2>";
}

}  // namespace

ArrayRef as_array(PyObject* o, std::size_t ndim) {
  ensure_numpy();
  if (!PyArray_Check(o)) raise_cannot_convert(o, array_label(ndim));
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  // Wrong dtype (including byte-swapped float64) or dimension count is a wrong type.
  if (PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a) ||
      static_cast<std::size_t>(PyArray_NDIM(a)) != ndim) {
    raise_cannot_convert(o, array_label(ndim));
  }
  ArrayRef r;
  r.obj = o;
  r.ndim = ndim;
  for (std::size_t d = 0; d < ndim; ++d) {
    r.shape[d] = static_cast<std::size_t>(PyArray_DIM(a, static_cast<int>(d)));
    r.strides[d] = PyArray_STRIDE(a, static_cast<int>(d));
  }
  r.data = static_cast<const char*>(PyArray_DATA(a));
  r.contiguous = PyArray_IS_C_CONTIGUOUS(a) != 0;
  return r;
}

// memcpy: the data may be unaligned (a view into a byte buffer).
double ArrayRef::at(std::size_t i) const {
  double v;
  std::memcpy(&v, data + static_cast<Py_ssize_t>(i) * strides[0], sizeof v);
  return v;
}

double ArrayRef::at(std::size_t i, std::size_t j) const {
  double v;
  std::memcpy(&v,
              data + static_cast<Py_ssize_t>(i) * strides[0] + static_cast<Py_ssize_t>(j) * strides[1],
              sizeof v);
  return v;
}

std::vector<double> ArrayRef::to_vector() const {
  if (!contiguous) raise(PyExc_TypeError, "The given array is not contiguous");
  std::vector<double> out(size());
  if (!out.empty()) std::memcpy(out.data(), data, out.size() * sizeof(double));
  return out;
}

PyObject* new_array(std::span<const double> values) {
  ensure_numpy();
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  PyObject* a = check(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
  if (!values.empty())
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)), values.data(),
                values.size() * sizeof(double));
  return a;
}

PyObject* new_array2(std::size_t rows, std::size_t cols, std::span<const double> values) {
  ensure_numpy();
  AERLOX_ASSERT(values.size() == rows * cols);
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  PyObject* a = check(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  if (!values.empty())
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)), values.data(),
                values.size() * sizeof(double));
  return a;
}

PyObject* new_array2_out(std::size_t rows, std::size_t cols, double** data) {
  ensure_numpy();
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  PyObject* a = check(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  *data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
  return a;
}

ArrayRef extract_rows3(PyObject* o, const char* name) {
  const ArrayRef a = extract_array<2>(o, name);
  if (a.shape[1] != 3) raise(PyExc_ValueError, std::string(name) + " must have shape (n, 3)");
  return a;
}

aerlox_rs::Mat3 read_mat3(const ArrayRef& a, const char* name) {
  if (a.ndim != 2 || a.shape[0] != 3 || a.shape[1] != 3)
    raise(PyExc_ValueError, std::string(name) + " must be a 3x3 array");
  aerlox_rs::Mat3 m;
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) m.m[i][j] = a.at(i, j);
  return m;
}

aerlox_rs::Vec3 read_vec3(const ArrayRef& a, const char* name) {
  if (!a.contiguous) raise(PyExc_TypeError, "The given array is not contiguous");
  if (a.ndim != 1 || a.shape[0] != 3)
    raise(PyExc_ValueError, std::string(name) + " must be a length-3 array");
  return aerlox_rs::Vec3{{a.at(0), a.at(1), a.at(2)}};
}

PyObject* vec3_to_py(const aerlox_rs::Vec3& v) { return new_array(v.v); }

PyObject* mat3_to_py(const aerlox_rs::Mat3& m) {
  const double flat[9] = {m.m[0][0], m.m[0][1], m.m[0][2], m.m[1][0], m.m[1][1],
                          m.m[1][2], m.m[2][0], m.m[2][1], m.m[2][2]};
  return new_array2(3, 3, flat);
}

}  // namespace kit
