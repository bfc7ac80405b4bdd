// State classes of the blade-element models: QuasiStaticRotorState,
// PittPetersRotorState, OyeRotorState. Each exposes its inflow vector through
// to_array / from_array.
#include "aero_model.hpp"
#include "kit/kit.hpp"
#include "oye.hpp"
#include "pitt_peters.hpp"
#include "registry.hpp"

using namespace aerlox_rs;

namespace {

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;
constexpr const char* ARR_NAMES[] = {"arr"};

template <class S>
PyObject* to_array(PyObject* self, PyObject*) {
  return kit::guard([&] { return kit::new_array(kit::unbox<S>(self).get_inflow()); });
}

template <class S>
PyObject* from_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const std::string display = std::string(kit::PyClass<S>::name) + ".from_array()";
  static const kit::Signature sig{display.c_str(), ARR_NAMES, 1, 1};
  return kit::guard([&] {
    const kit::Bound a = kit::bind(sig, args, nargs, kw);
    const std::vector<double> v = kit::extract_array<1>(a[0], "arr").to_vector();
    return kit::wrap(S::from_array(v));
  });
}

#define STATE_ARRAY_METHODS(S)                                                           \
  {"to_array", to_array<S>, METH_NOARGS,                                                 \
   "to_array($self)\n--\n\nThe inflow vector as a new 1-D float64 array."},              \
  {                                                                                      \
    "from_array", kit::fastcall(from_array<S>), FAST,                                    \
        "from_array($self, arr)\n--\n\nA new state built from a 1-D float64 inflow "     \
        "vector (this instance is unchanged)."                                           \
  }

// ---- QuasiStaticRotorState()

constexpr kit::Signature QS_SIG{"QuasiStaticRotorState.__new__()", {}, 0, 0};

PyObject* qs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    kit::bind(QS_SIG, args, kwargs);
    return kit::wrap_as(type, QuasiStaticRotorState{});
  });
}

PyMethodDef qs_methods[] = {STATE_ARRAY_METHODS(QuasiStaticRotorState), {nullptr, nullptr, 0, nullptr}};

// ---- PittPetersRotorState(lambda_0, lambda_c, lambda_s)

constexpr const char* PP_NAMES[] = {"lambda_0", "lambda_c", "lambda_s"};
constexpr kit::Signature PP_SIG{"PittPetersRotorState.__new__()", PP_NAMES, 3, 3};

PyObject* pp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(PP_SIG, args, kwargs);
    PittPetersRotorState s;
    s.lambda_0 = kit::extract<double>(a[0], "lambda_0");
    s.lambda_c = kit::extract<double>(a[1], "lambda_c");
    s.lambda_s = kit::extract<double>(a[2], "lambda_s");
    return kit::wrap_as(type, s);
  });
}

using PPS = PittPetersRotorState;
PyGetSetDef pp_getset[] = {
    {"lambda_0", kit::get_field<PPS, &PPS::lambda_0>, kit::set_field<PPS, &PPS::lambda_0>,
     "Uniform inflow ratio (along +hub z, per tip speed).", nullptr},
    {"lambda_c", kit::get_field<PPS, &PPS::lambda_c>, kit::set_field<PPS, &PPS::lambda_c>,
     "Cosine first-harmonic inflow ratio.", nullptr},
    {"lambda_s", kit::get_field<PPS, &PPS::lambda_s>, kit::set_field<PPS, &PPS::lambda_s>,
     "Sine first-harmonic inflow ratio.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef pp_methods[] = {STATE_ARRAY_METHODS(PittPetersRotorState), {nullptr, nullptr, 0, nullptr}};

// ---- OyeRotorState(W_int, W)

constexpr const char* OYE_NAMES[] = {"W_int", "W"};
constexpr kit::Signature OYE_SIG{"OyeRotorState.__new__()", OYE_NAMES, 2, 2};

PyObject* oye_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(OYE_SIG, args, kwargs);
    const kit::ArrayRef w_int = kit::extract_array<1>(a[0], "W_int");
    const kit::ArrayRef w = kit::extract_array<1>(a[1], "W");
    std::vector<double> vi = w_int.to_vector(), vw = w.to_vector();
    if (vi.size() != vw.size()) throw ValueError("W_int and W must have equal length");
    OyeRotorState s;
    s.n_elements = vi.size();
    s.W_int = std::move(vi);
    s.W = std::move(vw);
    return kit::wrap_as(type, std::move(s));
  });
}

constexpr const char* ZEROS_NAMES[] = {"n_elements"};
constexpr kit::Signature ZEROS_SIG{"OyeRotorState.zeros()", ZEROS_NAMES, 1, 1};

PyObject* oye_zeros(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(ZEROS_SIG, args, nargs, kw);
    return kit::wrap(OyeRotorState::zeros(kit::extract<std::size_t>(a[0], "n_elements")));
  });
}

PyObject* oye_w_int(PyObject* self, void*) {
  return kit::guard([&] {
    const OyeRotorState& s = kit::unbox<OyeRotorState>(self);
    return kit::new_array(std::span<const double>(s.W_int).first(std::min(s.n_elements, s.W_int.size())));
  });
}

PyObject* oye_w(PyObject* self, void*) {
  return kit::guard([&] {
    const OyeRotorState& s = kit::unbox<OyeRotorState>(self);
    return kit::new_array(std::span<const double>(s.W).first(std::min(s.n_elements, s.W.size())));
  });
}

PyGetSetDef oye_getset[] = {
    {"W_int", oye_w_int, nullptr, "Intermediate inflow ratio per element (new array).", nullptr},
    {"W", oye_w, nullptr, "Effective inflow ratio per element (new array).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef oye_methods[] = {
    STATE_ARRAY_METHODS(OyeRotorState),
    {"zeros", kit::fastcall(oye_zeros), FAST | METH_STATIC,
     "zeros(n_elements)\n--\n\nA state with n_elements zero entries in W_int and W."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

namespace reg {

void QuasiStaticRotorState(PyObject* m) {
  kit::add_class_for<aerlox_rs::QuasiStaticRotorState>(m, {.name = "QuasiStaticRotorState",
                                                           .doc = "QuasiStaticRotorState()\n--\n\n",
                                                           .subclassable = false,
                                                           .basicsize = 0,
                                                           .dealloc = nullptr,
                                                           .tp_new = qs_new,
                                                           .methods = qs_methods});
}

void PittPetersRotorState(PyObject* m) {
  kit::add_class_for<aerlox_rs::PittPetersRotorState>(
      m, {.name = "PittPetersRotorState",
          .doc = "PittPetersRotorState(lambda_0, lambda_c, lambda_s)\n--\n\n",
          .subclassable = false,
          .basicsize = 0,
          .dealloc = nullptr,
          .tp_new = pp_new,
          .getset = pp_getset,
          .methods = pp_methods});
}

void OyeRotorState(PyObject* m) {
  kit::add_class_for<aerlox_rs::OyeRotorState>(m, {.name = "OyeRotorState",
                                                   .doc = "OyeRotorState(W_int, W)\n--\n\n",
                                                   .subclassable = false,
                                                   .basicsize = 0,
                                                   .dealloc = nullptr,
                                                   .tp_new = oye_new,
                                                   .getset = oye_getset,
                                                   .methods = oye_methods});
}

}  // namespace reg
