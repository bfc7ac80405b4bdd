// LinearPolar, TabulatedPolar and LinearPolarParameters.
#include "kit/kit.hpp"
#include "numfmt.hpp"
#include "polar.hpp"
#include "registry.hpp"

using aerlox_rs::LinearPolar;
using aerlox_rs::LinearPolarParameters;
using aerlox_rs::TabulatedPolar;

namespace {

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

// ---- shared by both polars: cl_cd(alpha_rad) and cl_cd_arr(alpha_rad)

constexpr const char* ALPHA_NAMES[] = {"alpha_rad"};

template <class P>
PyObject* cl_cd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const std::string display = std::string(kit::PyClass<P>::name) + ".cl_cd()";
  static const kit::Signature sig{display.c_str(), ALPHA_NAMES, 1, 1};
  return kit::guard([&] {
    const kit::Bound a = kit::bind(sig, args, nargs, kw);
    const double alpha = kit::extract<double>(a[0], "alpha_rad");
    return kit::to_py(kit::unbox<P>(self).cl_cd(alpha));
  });
}

template <class P>
PyObject* cl_cd_arr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const std::string display = std::string(kit::PyClass<P>::name) + ".cl_cd_arr()";
  static const kit::Signature sig{display.c_str(), ALPHA_NAMES, 1, 1};
  return kit::guard([&] {
    const kit::Bound a = kit::bind(sig, args, nargs, kw);
    const std::vector<double> alpha = kit::extract_array<1>(a[0], "alpha_rad").to_vector();
    std::vector<double> cl(alpha.size()), cd(alpha.size());
    kit::unbox<P>(self).cl_cd_into(alpha, cl, cd);
    PyObject* cl_arr = kit::new_array(cl);
    PyObject* cd_arr;
    try {
      cd_arr = kit::new_array(cd);
    } catch (...) {
      Py_DECREF(cl_arr);
      throw;
    }
    return kit::tuple({cl_arr, cd_arr});
  });
}

#define CL_CD_DOC                                                                        \
  "cl_cd($self, alpha_rad)\n--\n\n"                                                       \
  "Lift and drag coefficients (cl, cd) at one angle of attack (rad)."
#define CL_CD_ARR_DOC                                                                    \
  "cl_cd_arr($self, alpha_rad)\n--\n\n"                                                   \
  "Lift and drag coefficients for a contiguous 1-D float64 array of angles (rad),\n"    \
  "returned as a tuple (cl, cd) of new arrays of the same length."

// ---- LinearPolar

constexpr const char* LP_NAMES[] = {"CL0", "CL_alpha_per_rad", "CD0", "alpha_stall_rad"};
constexpr kit::Signature LP_SIG{"LinearPolar.__new__()", LP_NAMES, 4, 4};

PyObject* lp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(LP_SIG, args, kwargs);
    LinearPolar p{kit::extract<double>(a[0], "CL0"), kit::extract<double>(a[1], "CL_alpha_per_rad"),
                  kit::extract<double>(a[2], "CD0"), kit::extract<double>(a[3], "alpha_stall_rad")};
    return kit::wrap_as(type, p);
  });
}

PyObject* lp_repr(PyObject* self) {
  return kit::guard([&] {
    const LinearPolar& p = kit::unbox<LinearPolar>(self);
    using aerlox_rs::fmt_plain;
    return kit::to_py("LinearPolar(CL0=" + fmt_plain(p.CL0) + ", CL_alpha_per_rad=" +
                      fmt_plain(p.CL_alpha_per_rad) + ", CD0=" + fmt_plain(p.CD0) +
                      ", alpha_stall_rad=" + fmt_plain(p.alpha_stall_rad) + ")");
  });
}

constexpr const char* FROM_PROPS_NAMES[] = {"airfoil"};
constexpr kit::Signature FROM_PROPS_SIG{"LinearPolar.from_properties()", FROM_PROPS_NAMES, 1, 1};

double float_attr(PyObject* o, const char* name) {
  PyObject* v = kit::check(PyObject_GetAttrString(o, name));
  try {
    const double d = kit::as_double(v);
    Py_DECREF(v);
    return d;
  } catch (...) {
    Py_DECREF(v);
    throw;
  }
}

PyObject* lp_from_properties(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(FROM_PROPS_SIG, args, nargs, kw);
    PyObject* o = a[0];
    LinearPolarParameters p;
    if (kit::is_instance<LinearPolarParameters>(o)) {
      p = kit::unbox<LinearPolarParameters>(o);
    } else {
      // A Python-level wrapper: read the four fields by name, in this order.
      p.CL0 = float_attr(o, "CL0");
      p.CL_alpha_per_rad = float_attr(o, "CL_alpha_per_rad");
      p.CD0 = float_attr(o, "CD0");
      p.alpha_stall_deg = float_attr(o, "alpha_stall_deg");
    }
    return kit::wrap(LinearPolar::from_properties(p));
  });
}

PyMethodDef lp_methods[] = {
    {"cl_cd", kit::fastcall(cl_cd<LinearPolar>), FAST, CL_CD_DOC},
    {"cl_cd_arr", kit::fastcall(cl_cd_arr<LinearPolar>), FAST, CL_CD_ARR_DOC},
    {"from_properties", kit::fastcall(lp_from_properties), FAST | METH_STATIC,
     "from_properties(airfoil)\n--\n\n"
     "Build a LinearPolar from a LinearPolarParameters-like object: either this\n"
     "module's own LinearPolarParameters or a Python-level wrapper of it that has the\n"
     "attributes CL0, CL_alpha_per_rad, CD0 and alpha_stall_deg. The stall angle is\n"
     "converted from degrees to radians."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef lp_getset[] = {
    {"CL0", kit::get_field<LinearPolar, &LinearPolar::CL0>, nullptr, nullptr, nullptr},
    {"CL_alpha_per_rad", kit::get_field<LinearPolar, &LinearPolar::CL_alpha_per_rad>, nullptr, nullptr, nullptr},
    {"CD0", kit::get_field<LinearPolar, &LinearPolar::CD0>, nullptr, nullptr, nullptr},
    {"alpha_stall_rad", kit::get_field<LinearPolar, &LinearPolar::alpha_stall_rad>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- TabulatedPolar

constexpr const char* TP_NAMES[] = {"alpha_rad", "cl", "cd"};
constexpr kit::Signature TP_SIG{"TabulatedPolar.__new__()", TP_NAMES, 3, 3};

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(TP_SIG, args, kwargs);
    const kit::ArrayRef alpha = kit::extract_array<1>(a[0], "alpha_rad");
    const kit::ArrayRef cl = kit::extract_array<1>(a[1], "cl");
    const kit::ArrayRef cd = kit::extract_array<1>(a[2], "cd");
    return kit::wrap_as(type, TabulatedPolar(alpha.to_vector(), cl.to_vector(), cd.to_vector()));
  });
}

PyObject* tp_repr(PyObject* self) {
  return kit::guard([&] {
    return kit::to_py("TabulatedPolar(n=" + std::to_string(kit::unbox<TabulatedPolar>(self).size()) + ")");
  });
}

PyMethodDef tp_methods[] = {
    {"cl_cd", kit::fastcall(cl_cd<TabulatedPolar>), FAST, CL_CD_DOC},
    {"cl_cd_arr", kit::fastcall(cl_cd_arr<TabulatedPolar>), FAST, CL_CD_ARR_DOC},
    {nullptr, nullptr, 0, nullptr}};

// ---- LinearPolarParameters

constexpr const char* LPP_NAMES[] = {"CL0", "CL_alpha_per_rad", "CD0", "alpha_stall_deg"};
constexpr kit::Signature LPP_SIG{"LinearPolarParameters.__new__()", LPP_NAMES, 4, 4};

PyObject* lpp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(LPP_SIG, args, kwargs);
    LinearPolarParameters p{kit::extract<double>(a[0], "CL0"),
                            kit::extract<double>(a[1], "CL_alpha_per_rad"),
                            kit::extract<double>(a[2], "CD0"),
                            kit::extract<double>(a[3], "alpha_stall_deg")};
    return kit::wrap_as(type, p);
  });
}

using LPP = LinearPolarParameters;
PyGetSetDef lpp_getset[] = {
    {"CL0", kit::get_field<LPP, &LPP::CL0>, nullptr, nullptr, nullptr},
    {"CL_alpha_per_rad", kit::get_field<LPP, &LPP::CL_alpha_per_rad>, nullptr, nullptr, nullptr},
    {"CD0", kit::get_field<LPP, &LPP::CD0>, nullptr, nullptr, nullptr},
    {"alpha_stall_deg", kit::get_field<LPP, &LPP::alpha_stall_deg>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

namespace reg {

void LinearPolar(PyObject* m) {
  kit::add_class_for<aerlox_rs::LinearPolar>(
      m, {.name = "LinearPolar",
          .doc = "LinearPolar(CL0, CL_alpha_per_rad, CD0, alpha_stall_rad)\n--\n\n",
          .subclassable = false,
          .basicsize = 0,
          .dealloc = nullptr,
          .tp_new = lp_new,
          .repr = lp_repr,
          .getset = lp_getset,
          .methods = lp_methods});
}

void TabulatedPolar(PyObject* m) {
  kit::add_class_for<aerlox_rs::TabulatedPolar>(m, {.name = "TabulatedPolar",
                                                    .doc = "TabulatedPolar(alpha_rad, cl, cd)\n--\n\n",
                                                    .subclassable = false,
                                                    .basicsize = 0,
                                                    .dealloc = nullptr,
                                                    .tp_new = tp_new,
                                                    .repr = tp_repr,
                                                    .methods = tp_methods});
}

void LinearPolarParameters(PyObject* m) {
  kit::add_class_for<aerlox_rs::LinearPolarParameters>(
      m, {.name = "LinearPolarParameters",
          .doc = "LinearPolarParameters(CL0, CL_alpha_per_rad, CD0, alpha_stall_deg)\n--\n\n",
          .subclassable = false,
          .basicsize = 0,
          .dealloc = nullptr,
          .tp_new = lpp_new,
          .getset = lpp_getset});
}

}  // namespace reg
