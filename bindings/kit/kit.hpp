#pragma once
// The binding kit: everything the class and function files need to talk to
// CPython, and nothing about rotors.
//
//   bind(sig, ...)      - CPython-style argument binding with CPython's TypeError texts
//   extract<T>(o, name) - typed conversion; a TypeError gains "argument 'name': "
//   to_py(v) / wrap(v)  - results back to Python (new references)
//   guard([&]{ ... })   - the one place C++ exceptions become Python exceptions
//   Box<T>, ClassSpec   - heap types holding one C++ value each
//
// Conversions signal failure by throwing PyErrSet with the Python error already
// set, so a binding reads as straight-line code; guard() turns that (and
// every core exception) into a NULL return.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "aero_io.hpp"
#include "cpu_state.hpp"
#include "panic.hpp"

namespace kit {

/// A Python exception is set; unwind to the guard.
struct PyErrSet {};

/// Sets a Python exception of the given type and throws PyErrSet.
[[noreturn]] void raise(PyObject* type, const std::string& msg);
/// Throws PyErrSet if the pointer is null (a failed C-API call), else returns it.
PyObject* check(PyObject* o);

/// The module's PanicException (created once per process).
PyObject* panic_exception();
/// Creates PanicException if needed and adds it to the module.
bool add_panic_exception(PyObject* module);

/// Sets the Python exception for the C++ exception being handled.
void translate_exception() noexcept;

/// Runs f (returning a new reference or throwing) with every exception mapped.
template <class F>
PyObject* guard(F&& f) noexcept {
  aerlox_rs::clear_upper_vector_state();
  try {
    return f();
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

/// Same for slots that return int (setters): 0 or -1.
template <class F>
int guard_int(F&& f) noexcept {
  aerlox_rs::clear_upper_vector_state();
  try {
    f();
    return 0;
  } catch (...) {
    translate_exception();
    return -1;
  }
}

// ---------------------------------------------------------------------------
// Argument binding

/// How a callable takes its parameters.
struct Signature {
  const char* display;                  ///< "step_omega()", "RotorInputs.__new__()"
  std::span<const char* const> names;   ///< every parameter, in order
  std::size_t n_required;               ///< the first n_required have no default
  std::size_t n_positional;             ///< parameters from here on are keyword-only
};

inline constexpr std::size_t MAX_PARAMS = 24;

/// Bound argument slots: borrowed references, nullptr where not given.
struct Bound {
  PyObject* slot[MAX_PARAMS];  // bind() sets every slot of the signature
  PyObject* operator[](std::size_t i) const { return slot[i]; }
  /// Given and not None.
  bool has(std::size_t i) const { return slot[i] != nullptr && slot[i] != Py_None; }
};

/// Vectorcall form (METH_FASTCALL | METH_KEYWORDS).
Bound bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
/// tp_new form (tuple and dict).
Bound bind(const Signature& sig, PyObject* args, PyObject* kwargs);

/// CPython's list of quoted names: 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
std::string join_names(const std::vector<std::string>& names);

// ---------------------------------------------------------------------------
// Scalar conversion (no argument name: errors are Python's own)

double as_double(PyObject* o);
std::size_t as_count(PyObject* o);
bool as_bool(PyObject* o);
std::string as_string(PyObject* o);
/// Any sequence of numbers except str, each item through float().
std::vector<double> as_double_seq(PyObject* o);

/// "'<type name>' object cannot be converted to '<expected>'" as TypeError.
[[noreturn]] void raise_cannot_convert(PyObject* o, const char* expected);
/// The Python __name__ of o's type.
std::string type_name(PyObject* o);

/// Re-raises a pending TypeError as "argument 'name': <message>"; any other
/// pending exception passes through. Always throws PyErrSet.
[[noreturn]] void rethrow_for_argument(const char* name);

/// Runs conv(o) with the argument-name rule applied to its TypeError.
template <class Conv>
auto for_argument(const char* name, Conv&& conv) -> decltype(conv()) {
  try {
    return conv();
  } catch (PyErrSet&) {
    rethrow_for_argument(name);
  }
}

// ---------------------------------------------------------------------------
// Classes: each Python class holds one C++ value.

template <class T>
struct Box {
  PyObject_HEAD
  T value;
};

/// The Python class that holds a T; set once when the class is created.
template <class T>
struct PyClass {
  static inline PyTypeObject* type = nullptr;
  static inline const char* name = nullptr;  ///< short name for messages
};

template <class T>
T& unbox(PyObject* o) {
  return reinterpret_cast<Box<T>*>(o)->value;
}

template <class T>
bool is_instance(PyObject* o) {
  return PyObject_TypeCheck(o, PyClass<T>::type) != 0;
}

/// The held value of an instance of T's class (or a subclass); TypeError otherwise.
template <class T>
T& as_ref(PyObject* o) {
  if (!is_instance<T>(o)) raise_cannot_convert(o, PyClass<T>::name);
  return unbox<T>(o);
}

/// A new instance of T's class (or of `type`, a subclass) holding v.
template <class T>
PyObject* wrap_as(PyTypeObject* type, T v) {
  static_assert(alignof(T) <= 16, "keep over-aligned values on the heap");
  PyObject* o = type->tp_alloc(type, 0);
  if (o == nullptr) throw PyErrSet{};
  new (&unbox<T>(o)) T(std::move(v));
  return o;
}

template <class T>
PyObject* wrap(T v) {
  return wrap_as<T>(PyClass<T>::type, std::move(v));
}

template <class T>
void dealloc(PyObject* o) {
  unbox<T>(o).~T();
  PyTypeObject* tp = Py_TYPE(o);
  tp->tp_free(o);
  Py_DECREF(tp);  // instances of heap types own a reference to their type
}

// ---------------------------------------------------------------------------
// Typed extraction with the argument-name rule.

template <class T>
struct Extract;  // specialised below and by class files through PyClass<T>

template <>
struct Extract<double> {
  static double get(PyObject* o) { return as_double(o); }
};
template <>
struct Extract<float> {
  static float get(PyObject* o) { return static_cast<float>(as_double(o)); }
};
template <>
struct Extract<std::size_t> {
  static std::size_t get(PyObject* o) { return as_count(o); }
};
template <>
struct Extract<bool> {
  static bool get(PyObject* o) { return as_bool(o); }
};
template <>
struct Extract<std::string> {
  static std::string get(PyObject* o) { return as_string(o); }
};
template <>
struct Extract<std::vector<double>> {
  static std::vector<double> get(PyObject* o) { return as_double_seq(o); }
};

/// Converts argument `name`; class types are copied out of their object.
template <class T>
T extract(PyObject* o, const char* name) {
  return for_argument(name, [&]() -> T {
    if constexpr (requires { Extract<T>::get(o); }) {
      return Extract<T>::get(o);
    } else {
      return as_ref<T>(o);
    }
  });
}

/// Like extract, but None (or absent) gives nullopt.
template <class T>
std::optional<T> extract_opt(PyObject* o, const char* name) {
  if (o == nullptr || o == Py_None) return std::nullopt;
  return extract<T>(o, name);
}

/// extract with a default for an absent argument (None counts as given).
template <class T>
T extract_or(PyObject* o, const char* name, T dflt) {
  if (o == nullptr) return dflt;
  return extract<T>(o, name);
}

// ---------------------------------------------------------------------------
// Results (new references).

inline PyObject* to_py(double v) { return check(PyFloat_FromDouble(v)); }
inline PyObject* to_py(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
inline PyObject* to_py(std::size_t v) { return check(PyLong_FromSize_t(v)); }
inline PyObject* to_py(const char* v) { return check(PyUnicode_FromString(v)); }
inline PyObject* to_py(const std::string& v) {
  return check(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
}
/// A tuple taking ownership of the given new references.
PyObject* tuple(std::initializer_list<PyObject*> items);
inline PyObject* to_py(std::pair<double, double> v) { return tuple({to_py(v.first), to_py(v.second)}); }
inline PyObject* none() { return Py_NewRef(Py_None); }
/// Adds value under key to dict d, releasing value (also on failure).
void dict_put(PyObject* d, const char* key, PyObject* value);
/// Owning reference released on scope exit unless handed out.
struct Owned {
  PyObject* p;
  ~Owned() { Py_XDECREF(p); }
  PyObject* release() {
    PyObject* r = p;
    p = nullptr;
    return r;
  }
};

// ---------------------------------------------------------------------------
// NumPy (the array interface is fetched on first use).

/// A borrowed, type-checked float64 NumPy array of a fixed number of dimensions.
struct ArrayRef {
  PyObject* obj = nullptr;
  std::size_t ndim = 0;
  std::size_t shape[2] = {0, 0};
  Py_ssize_t strides[2] = {0, 0};
  const char* data = nullptr;
  bool contiguous = false;

  std::size_t size() const { return ndim == 1 ? shape[0] : shape[0] * shape[1]; }
  double at(std::size_t i) const;
  double at(std::size_t i, std::size_t j) const;
  /// The values of a 1-D array; refuses a non-contiguous one with
  /// TypeError "The given array is not contiguous".
  std::vector<double> to_vector() const;
};

/// Type check only: NumPy float64 array with exactly ndim dimensions
/// (TypeError "'x' object cannot be converted to 'PyArray<f64, IxN>'").
ArrayRef as_array(PyObject* o, std::size_t ndim);

template <std::size_t N>
ArrayRef extract_array(PyObject* o, const char* name) {
  return for_argument(name, [&] { return as_array(o, N); });
}

/// A float64 array of particle rows, shape (n, 3); ValueError "{name} must have shape (n, 3)".
ArrayRef extract_rows3(PyObject* o, const char* name);

/// New 1-D float64 array owning a copy of the values.
PyObject* new_array(std::span<const double> values);
/// New 2-D float64 array (row-major copy).
PyObject* new_array2(std::size_t rows, std::size_t cols, std::span<const double> values);
/// New 2-D C-contiguous float64 array left for the caller to fill; *data
/// receives its rows * cols values.
PyObject* new_array2_out(std::size_t rows, std::size_t cols, double** data);

/// R_hub-style 3x3 read through strides; ValueError "{name} must be a 3x3 array".
aerlox_rs::Mat3 read_mat3(const ArrayRef& a, const char* name);
/// Contiguous length-3 vector; ValueError "{name} must be a length-3 array".
aerlox_rs::Vec3 read_vec3(const ArrayRef& a, const char* name);
PyObject* vec3_to_py(const aerlox_rs::Vec3& v);
PyObject* mat3_to_py(const aerlox_rs::Mat3& m);
inline PyObject* to_py(const aerlox_rs::Vec3& v) { return vec3_to_py(v); }
inline PyObject* to_py(const aerlox_rs::Mat3& m) { return mat3_to_py(m); }

// ---------------------------------------------------------------------------
// Type and module building.

/// What a class file declares; the kit turns it into a heap type.
struct ClassSpec {
  const char* name;        ///< short Python name ("RotorInputs")
  const char* doc;         ///< text signature "RotorInputs(...)\n--\n\n", or "" for none
  bool subclassable;       ///< Py_TPFLAGS_BASETYPE
  int basicsize;           ///< sizeof(Box<T>)
  destructor dealloc;
  newfunc tp_new;          ///< nullptr: "No constructor defined for <name>"
  reprfunc repr = nullptr;
  PyGetSetDef* getset = nullptr;
  PyMethodDef* methods = nullptr;
};

/// Creates the type, adds it to the module and to __all__.
PyTypeObject* add_class(PyObject* module, const ClassSpec& cls);

/// Declares the class holding T and remembers its type for conversions.
template <class T>
PyTypeObject* add_class_for(PyObject* module, ClassSpec cls) {
  cls.basicsize = static_cast<int>(sizeof(Box<T>));
  cls.dealloc = &dealloc<T>;
  PyTypeObject* tp = add_class(module, cls);
  PyClass<T>::type = tp;
  PyClass<T>::name = cls.name;
  return tp;
}

/// Adds a module-level function (a static PyMethodDef) and lists it in __all__.
void add_function(PyObject* module, PyMethodDef* def);

/// Appends a name to the module's __all__.
void add_to_all(PyObject* module, const char* name);

/// Casts a fast-call function to the PyCFunction slot type.
template <class F>
PyCFunction fastcall(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

/// Setter helper: deleting raises AttributeError "can't delete attribute";
/// a failed conversion raises "argument 'v': ..." and leaves the value as it was.
template <class T>
int set_double(PyObject* value, T& field) {
  return guard_int([&] {
    if (value == nullptr) raise(PyExc_AttributeError, "can't delete attribute");
    field = extract<double>(value, "v");
  });
}

/// Getter slot reading a field of the held T (any type to_py converts).
template <class T, auto Member>
PyObject* get_field(PyObject* self, void*) {
  return guard([&] { return to_py(unbox<T>(self).*Member); });
}

/// Setter slot for a double field (see set_double).
template <class T, auto Member>
int set_field(PyObject* self, PyObject* value, void*) {
  return set_double(value, unbox<T>(self).*Member);
}

/// Getter slot computing a value from the held T.
template <class T, auto Fn>
PyObject* get_with(PyObject* self, void*) {
  return guard([&] { return to_py(Fn(unbox<T>(self))); });
}

}  // namespace kit
