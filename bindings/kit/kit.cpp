#include "kit/kit.hpp"

#include <cstring>
#include <deque>
#include <stdexcept>

#include "cancel.hpp"

namespace kit {

void raise(PyObject* type, const std::string& msg) {
  PyErr_SetString(type, msg.c_str());
  throw PyErrSet{};
}

PyObject* check(PyObject* o) {
  if (o == nullptr) throw PyErrSet{};
  return o;
}

// ---------------------------------------------------------------------------
// Exceptions

namespace {
PyObject* g_panic = nullptr;

constexpr const char* PANIC_DOC =
    "Raised when native aerlox code called from Python fails an internal check\n"
    "(a violated invariant, not bad input).\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "`except Exception` does not catch it and it typically propagates all the\n"
    "way up the stack.";
}  // namespace

PyObject* panic_exception() { return g_panic; }

bool add_panic_exception(PyObject* module) {
  if (g_panic == nullptr) {
    g_panic = PyErr_NewExceptionWithDoc("aerlox._aerlox.PanicException", PANIC_DOC,
                                        PyExc_BaseException, nullptr);
    if (g_panic == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "PanicException", g_panic) == 0;
}

void translate_exception() noexcept {
  try {
    throw;
  } catch (const PyErrSet&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  } catch (const aerlox_rs::Panic& e) {
    PyErr_SetString(g_panic ? g_panic : PyExc_SystemError, e.what());
  } catch (const aerlox_rs::ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const aerlox_rs::Cancelled&) {
    // Stopped by the interrupt check, which left the signal handler's
    // exception (KeyboardInterrupt for Ctrl-C) set.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more than the address space can hold.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(g_panic ? g_panic : PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(g_panic ? g_panic : PyExc_SystemError, "unknown C++ exception");
  }
}

// ---------------------------------------------------------------------------
// Argument binding

std::string join_names(const std::vector<std::string>& names) {
  std::string out;
  const std::size_t n = names.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

namespace {

std::size_t find_param(const Signature& sig, PyObject* key) {
  Py_ssize_t len = 0;
  const char* k = PyUnicode_AsUTF8AndSize(key, &len);
  if (k == nullptr) {
    // Not even UTF-8 (a lone surrogate): it names no parameter.
    PyErr_Clear();
    return sig.names.size();
  }
  for (std::size_t i = 0; i < sig.names.size(); ++i) {
    const char* name = sig.names[i];
    if (std::strlen(name) == static_cast<std::size_t>(len) && std::memcmp(name, k, len) == 0)
      return i;
  }
  return sig.names.size();
}

void too_many_positional(const Signature& sig, std::size_t given) {
  std::size_t required_positional = std::min(sig.n_required, sig.n_positional);
  const char* was = given == 1 ? "was" : "were";
  std::string msg = std::string(sig.display) + " takes ";
  if (required_positional != sig.n_positional)
    msg += "from " + std::to_string(required_positional) + " to ";
  msg += std::to_string(sig.n_positional) + " positional arguments but " + std::to_string(given) +
         " " + was + " given";
  raise(PyExc_TypeError, msg);
}

void put_keyword(const Signature& sig, Bound& b, PyObject* key, PyObject* value) {
  const std::size_t i = find_param(sig, key);
  if (i == sig.names.size()) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display, key);
    throw PyErrSet{};
  }
  if (b.slot[i] != nullptr) {
    raise(PyExc_TypeError, std::string(sig.display) + " got multiple values for argument '" +
                               sig.names[i] + "'");
  }
  b.slot[i] = value;
}

void check_missing(const Signature& sig, const Bound& b) {
  std::vector<std::string> pos, kw;
  for (std::size_t i = 0; i < sig.n_required; ++i) {
    if (b.slot[i] == nullptr) (i < sig.n_positional ? pos : kw).emplace_back(sig.names[i]);
  }
  for (auto* list : {&pos, &kw}) {
    if (list->empty()) continue;
    const char* kind = list == &pos ? "positional" : "keyword";
    raise(PyExc_TypeError, std::string(sig.display) + " missing " + std::to_string(list->size()) +
                               " required " + kind + (list->size() == 1 ? " argument: " : " arguments: ") +
                               join_names(*list));
  }
}

}  // namespace

Bound bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs_in, PyObject* kwnames) {
  AERLOX_ASSERT(sig.names.size() <= MAX_PARAMS);
  Bound b;
  const std::size_t nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargs_in));
  if (nargs > sig.n_positional) too_many_positional(sig, nargs);
  for (std::size_t i = 0; i < nargs; ++i) b.slot[i] = args[i];
  for (std::size_t i = nargs; i < sig.names.size(); ++i) b.slot[i] = nullptr;
  // The common call: positional arguments only, all required ones present.
  if (kwnames == nullptr && nargs >= sig.n_required) return b;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      put_keyword(sig, b, PyTuple_GET_ITEM(kwnames, k), args[nargs + static_cast<std::size_t>(k)]);
  }
  check_missing(sig, b);
  return b;
}

Bound bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
  AERLOX_ASSERT(sig.names.size() <= MAX_PARAMS);
  Bound b;
  const std::size_t nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (nargs > sig.n_positional) too_many_positional(sig, nargs);
  for (std::size_t i = 0; i < nargs; ++i) b.slot[i] = PyTuple_GET_ITEM(args, i);
  for (std::size_t i = nargs; i < sig.names.size(); ++i) b.slot[i] = nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) put_keyword(sig, b, key, value);
  }
  check_missing(sig, b);
  return b;
}

// ---------------------------------------------------------------------------
// Scalars

std::string type_name(PyObject* o) {
  const char* n = Py_TYPE(o)->tp_name;
  const char* dot = std::strrchr(n, '.');
  return dot ? dot + 1 : n;
}

void raise_cannot_convert(PyObject* o, const char* expected) {
  raise(PyExc_TypeError,
        "'" + type_name(o) + "' object cannot be converted to '" + expected + "'");
}

double as_double(PyObject* o) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
  return v;
}

std::size_t as_count(PyObject* o) {
  PyObject* idx = check(PyNumber_Index(o));
  const std::size_t v = PyLong_AsSize_t(idx);
  Py_DECREF(idx);
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PyErrSet{};
  return v;
}

bool as_bool(PyObject* o) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  // NumPy's boolean scalar ("numpy.bool" in NumPy 2, "numpy.bool_" before).
  const char* tn = Py_TYPE(o)->tp_name;
  if (std::strcmp(tn, "numpy.bool") == 0 || std::strcmp(tn, "numpy.bool_") == 0) {
    const int t = PyObject_IsTrue(o);
    if (t < 0) throw PyErrSet{};
    return t != 0;
  }
  raise_cannot_convert(o, "PyBool");
}

std::string as_string(PyObject* o) {
  if (!PyUnicode_Check(o)) raise_cannot_convert(o, "PyString");
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (s == nullptr) throw PyErrSet{};
  return std::string(s, static_cast<std::size_t>(len));
}

std::vector<double> as_double_seq(PyObject* o) {
  if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(o)) raise_cannot_convert(o, "Sequence");
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) throw PyErrSet{};
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = check(PySequence_GetItem(o, i));
    try {
      out.push_back(as_double(item));
    } catch (...) {
      Py_DECREF(item);
      throw;
    }
    Py_DECREF(item);
  }
  return out;
}

void rethrow_for_argument(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrSet{};
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  std::string msg = std::string("argument '") + name + "': ";
  if (text != nullptr) {
    const char* t = PyUnicode_AsUTF8(text);
    if (t != nullptr) msg += t;
    Py_DECREF(text);
  }
  PyErr_Clear();
  PyObject* outer = PyObject_CallFunction(PyExc_TypeError, "s", msg.c_str());
  if (outer != nullptr && value != nullptr) {
    PyException_SetCause(outer, Py_NewRef(value));
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  if (outer == nullptr) throw PyErrSet{};
  PyErr_SetObject(PyExc_TypeError, outer);
  Py_DECREF(outer);
  throw PyErrSet{};
}

PyObject* tuple(std::initializer_list<PyObject*> items) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  if (t == nullptr) {
    for (PyObject* i : items) Py_XDECREF(i);
    throw PyErrSet{};
  }
  Py_ssize_t k = 0;
  for (PyObject* i : items) PyTuple_SET_ITEM(t, k++, i);
  return t;
}

void dict_put(PyObject* d, const char* key, PyObject* value) {
  const int rc = PyDict_SetItemString(d, key, value);
  Py_DECREF(value);
  if (rc != 0) throw PyErrSet{};
}

// ---------------------------------------------------------------------------
// Types and module

namespace {

// PyType_Spec wants its strings to outlive the type on older interpreters.
const char* keep(std::string s) {
  static std::deque<std::string> store;
  store.push_back(std::move(s));
  return store.back().c_str();
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  const char* n = type->tp_name;
  const char* dot = std::strrchr(n, '.');
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", dot ? dot + 1 : n);
  return nullptr;
}

}  // namespace

void add_to_all(PyObject* module, const char* name) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = check(PyList_New(0));
    if (PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_DECREF(all);
      throw PyErrSet{};
    }
  }
  PyObject* s = PyUnicode_FromString(name);
  const int rc = s ? PyList_Append(all, s) : -1;
  Py_XDECREF(s);
  Py_DECREF(all);
  if (rc < 0) throw PyErrSet{};
}

PyTypeObject* add_class(PyObject* module, const ClassSpec& cls) {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(cls.dealloc)});
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(cls.tp_new ? cls.tp_new : &no_constructor)});
  if (cls.doc && *cls.doc) slots.push_back({Py_tp_doc, const_cast<char*>(keep(cls.doc))});
  if (cls.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(cls.repr)});
  if (cls.getset) slots.push_back({Py_tp_getset, cls.getset});
  if (cls.methods) slots.push_back({Py_tp_methods, cls.methods});
  slots.push_back({0, nullptr});

  PyType_Spec ts{};
  ts.name = keep(std::string("aerlox._aerlox.") + cls.name);
  ts.basicsize = cls.basicsize;
  ts.itemsize = 0;
  ts.flags = Py_TPFLAGS_DEFAULT | (cls.subclassable ? Py_TPFLAGS_BASETYPE : 0);
  ts.slots = slots.data();
  PyObject* type = check(PyType_FromSpec(&ts));
  if (!(cls.doc && *cls.doc)) {
    // No constructor, no doc slot: an empty docstring rather than None. With
    // a slot CPython takes __text_signature__ from it and makes the rest of
    // the text, after the "--" line, the __doc__.
    PyObject* doc = PyUnicode_FromString("");
    if (doc == nullptr || PyObject_SetAttrString(type, "__doc__", doc) < 0) {
      PyErr_Clear();
    }
    Py_XDECREF(doc);
  }
  if (PyModule_AddObjectRef(module, cls.name, type) < 0) {
    Py_DECREF(type);
    throw PyErrSet{};
  }
  add_to_all(module, cls.name);
  return reinterpret_cast<PyTypeObject*>(type);  // the module keeps a reference
}

void add_function(PyObject* module, PyMethodDef* def) {
  PyObject* modname = check(PyModule_GetNameObject(module));
  PyObject* fn = PyCFunction_NewEx(def, nullptr, modname);
  Py_DECREF(modname);
  check(fn);
  const int rc = PyModule_AddObjectRef(module, def->ml_name, fn);
  Py_DECREF(fn);
  if (rc < 0) throw PyErrSet{};
  add_to_all(module, def->ml_name);
}

}  // namespace kit
