// Extensions beside the registry: spanwise loads of the blade-element models,
// the vortex rotor's wake and bound circulation as arrays, and worker control.
//
// They live on one private module object, `_aerlox._ext`, created at import
// after the registry. The registry's classes keep exactly the attributes
// their contract lists, `__all__` is untouched, and everything here shares
// the one shared library's process-wide state (worker pool, class objects).
// The toolkit (aerlox.fields, aerlox.export, Rotor.spanwise) is the public
// face of these functions.
#include <memory>
#include <string>
#include <vector>

#include "kit/gil.hpp"
#include "kit/kit.hpp"
#include "models_py.hpp"
#include "registry.hpp"
#include "vpm/common.hpp"
#include "vpm/fast_sum.hpp"
#include "vpm/pool.hpp"
#include "vpm/rotor.hpp"

using namespace aerlox_rs;
using aerlox_rs::vpm::VpmRotor;
using aerlox_rs::vpm::VpmRotorState;

namespace {

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

/// Largest worker count accepted: far beyond any machine we run on, small
/// enough that a typo cannot ask the system for millions of threads.
constexpr std::size_t MAX_WORKERS = 1024;

using kit::Owned;
constexpr auto put = kit::dict_put;

// ---- spanwise(model, inputs, state)

constexpr const char* SPAN_NAMES[] = {"model", "inputs", "state"};
constexpr kit::Signature SPAN_SIG{"spanwise()", SPAN_NAMES, 3, 3};

// Keys of the spanwise dict, in SpanwiseField order.
constexpr const char* SPAN_KEYS[kSpanFields] = {"radius_m", "alpha_rad", "phi_rad", "cl", "cd",
                                                "inflow_ratio", "q_dyn_pa", "thrust_n", "torque_nm"};

/// The spanwise loads when `model` holds an M; nullptr when it does not. The
/// model writes straight into the new arrays.
template <class M>
PyObject* spanwise_if(PyObject* model, PyObject* inputs, PyObject* state) {
  using S = typename ModelTraits<M>::State;
  if (!kit::is_instance<std::unique_ptr<M>>(model)) return nullptr;
  const M& m = *kit::unbox<std::unique_ptr<M>>(model);
  // Copies: the arrays are filled without the interpreter lock.
  const RotorInputs in = kit::as_ref_arg<RotorInputs>(inputs, "inputs");
  const S st = kit::as_ref_arg<S>(state, "state");
  const std::size_t n_psi = m.n_psi_elements(), n_r = m.grid().n_elements;
  SpanwiseView view{n_psi, n_r, m.defn().blade.n_blades, {}};
  Owned arrays[kSpanFields] = {};
  for (std::size_t f = 0; f < kSpanFields; ++f) arrays[f].p = kit::new_array2_out(n_psi, n_r, &view.field[f]);
  kit::without_gil([&] { m.spanwise_into(in, st, view); });
  Owned d{kit::check(PyDict_New())};
  put(d.p, "azimuth_rad", kit::new_array(station_azimuths(n_psi)));
  for (std::size_t f = 0; f < kSpanFields; ++f) put(d.p, SPAN_KEYS[f], arrays[f].release());
  put(d.p, "n_blades", kit::to_py(view.n_blades));
  return d.release();
}

PyObject* py_spanwise(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(SPAN_SIG, args, nargs, kw);
    PyObject* r = nullptr;
    if (!r) r = spanwise_if<QuasiStaticBEM<LinearPolar>>(a[0], a[1], a[2]);
    if (!r) r = spanwise_if<QuasiStaticBEM<TabulatedPolar>>(a[0], a[1], a[2]);
    if (!r) r = spanwise_if<PittPetersModel<LinearPolar>>(a[0], a[1], a[2]);
    if (!r) r = spanwise_if<PittPetersModel<TabulatedPolar>>(a[0], a[1], a[2]);
    if (!r) r = spanwise_if<OyeBEMModel<LinearPolar>>(a[0], a[1], a[2]);
    if (!r) r = spanwise_if<OyeBEMModel<TabulatedPolar>>(a[0], a[1], a[2]);
    if (!r) r = spanwise_if<QuasiStaticBEM<SectionPolar>>(a[0], a[1], a[2]);
    if (!r) r = spanwise_if<PittPetersModel<SectionPolar>>(a[0], a[1], a[2]);
    if (!r) r = spanwise_if<OyeBEMModel<SectionPolar>>(a[0], a[1], a[2]);
    if (!r)
      kit::raise(PyExc_TypeError, "argument 'model': '" + kit::type_name(a[0]) +
                                      "' object is not a blade-element model");
    return r;
  });
}

// ---- wake(state)

constexpr const char* STATE_NAMES[] = {"state"};
constexpr kit::Signature WAKE_SIG{"wake()", STATE_NAMES, 1, 1};

PyObject* triples(const vpm::AVec<float>& x, const vpm::AVec<float>& y, const vpm::AVec<float>& z) {
  const std::size_t n = x.size();
  std::vector<double> v(3 * n);
  for (std::size_t i = 0; i < n; ++i) {
    v[3 * i] = x[i];
    v[3 * i + 1] = y[i];
    v[3 * i + 2] = z[i];
  }
  return kit::new_array2(n, 3, v);
}

PyObject* opt_array(const std::optional<std::vector<double>>& v) {
  return v ? kit::new_array(*v) : kit::none();
}

PyObject* py_wake(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(WAKE_SIG, args, nargs, kw);
    const VpmRotorState& st = kit::as_ref_arg<VpmRotorState>(a[0], "state");
    const vpm::ParticleField empty;
    const vpm::ParticleField& f = st.wake ? *st.wake : empty;
    Owned d{kit::check(PyDict_New())};
    put(d.p, "position_m", triples(f.px, f.py, f.pz));
    put(d.p, "strength_m3_s", triples(f.ax, f.ay, f.az));
    std::vector<double> sg(f.sigma.begin(), f.sigma.end());
    put(d.p, "core_radius_m", kit::new_array(sg));
    if (st.wake_age_s) {
      put(d.p, "age_s", kit::new_array(*st.wake_age_s));
    } else {
      put(d.p, "age_s", kit::none());
    }
    put(d.p, "psi_rad", kit::to_py(st.psi));
    put(d.p, "beta_rad", opt_array(st.beta));
    return d.release();
  });
}

// ---- bound_circulation(state)

constexpr kit::Signature GAMMA_SIG{"bound_circulation()", STATE_NAMES, 1, 1};

PyObject* py_bound_circulation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(GAMMA_SIG, args, nargs, kw);
    const VpmRotorState& st = kit::as_ref_arg<VpmRotorState>(a[0], "state");
    if (!st.gamma) return kit::none();
    const auto& g = *st.gamma;
    const std::size_t nb = g.size();
    const std::size_t n = nb > 0 ? g[0].size() : 0;
    std::vector<double> flat;
    flat.reserve(nb * n);
    for (const auto& row : g) {
      AERLOX_ASSERT(row.size() == n);
      flat.insert(flat.end(), row.begin(), row.end());
    }
    return kit::new_array2(nb, n, flat);
  });
}

// ---- vpm_blade(rotor)

constexpr const char* ROTOR_NAMES[] = {"rotor"};
constexpr kit::Signature BLADE_SIG{"vpm_blade()", ROTOR_NAMES, 1, 1};

template <class P>
PyObject* blade_if(PyObject* o) {
  if (!kit::is_instance<std::unique_ptr<VpmRotor<P>>>(o)) return nullptr;
  const VpmRotor<P>& r = *kit::unbox<std::unique_ptr<VpmRotor<P>>>(o);
  Owned d{kit::check(PyDict_New())};
  put(d.p, "n_blades", kit::to_py(r.n_blades()));
  put(d.p, "r_edge_m", kit::new_array(r.r_edge()));
  put(d.p, "r_mid_m", kit::new_array(r.r_mid()));
  put(d.p, "chord_m", kit::new_array(r.chord()));
  put(d.p, "twist_rad", kit::new_array(r.twist()));
  return d.release();
}

PyObject* py_vpm_blade(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(BLADE_SIG, args, nargs, kw);
    PyObject* r = blade_if<LinearPolar>(a[0]);
    if (!r) r = blade_if<TabulatedPolar>(a[0]);
    if (!r)
      kit::raise(PyExc_TypeError,
                 "argument 'rotor': '" + kit::type_name(a[0]) + "' object is not a vortex-particle rotor");
    return r;
  });
}

// ---- induced_velocity(positions, strengths, cores, targets, fast, rtol, gradient)

constexpr const char* IV_NAMES[] = {"positions", "strengths", "cores", "targets", "fast", "rtol", "gradient"};
constexpr kit::Signature IV_SIG{"induced_velocity()", IV_NAMES, 7, 7};

/// Column c of an (n, 3) float64 array as single precision.
vpm::AVec<float> column(const kit::ArrayRef& a, std::size_t c) {
  vpm::AVec<float> v = vpm::AVec<float>::filled(a.shape[0], 0.0f);
  for (std::size_t i = 0; i < a.shape[0]; ++i) v[i] = static_cast<float>(a.at(i, c));
  return v;
}

// The toolkit (aerlox.fields.induced_velocity) validates values and units;
// here only shapes are checked, then the core runs without Python's lock.
PyObject* py_induced_velocity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(IV_SIG, args, nargs, kw);
    const kit::ArrayRef pos = kit::extract_rows3(a[0], "positions"), str = kit::extract_rows3(a[1], "strengths");
    const kit::ArrayRef core = kit::extract_array<1>(a[2], "cores");
    const std::size_t n = pos.shape[0];
    if (str.shape[0] != n || core.shape[0] != n)
      throw ValueError("positions, strengths and cores must have the same number of particles");
    vpm::ParticleField f;
    f.px = column(pos, 0), f.py = column(pos, 1), f.pz = column(pos, 2);
    f.ax = column(str, 0), f.ay = column(str, 1), f.az = column(str, 2);
    f.sigma = vpm::AVec<float>::filled(n, 0.0f);
    for (std::size_t i = 0; i < n; ++i) f.sigma[i] = static_cast<float>(core.at(i));
    const bool self = a[3] == Py_None;
    vpm::AVec<float> tx, ty, tz;
    if (!self) {
      const kit::ArrayRef t = kit::extract_rows3(a[3], "targets");
      tx = column(t, 0), ty = column(t, 1), tz = column(t, 2);
    }
    const bool fast = kit::extract<bool>(a[4], "fast");
    const double rtol = kit::extract<double>(a[5], "rtol");
    const bool gradient = kit::extract<bool>(a[6], "gradient");
    if (fast) (void)vpm::fast_plan(rtol);
    const vpm::VelGrad r = kit::without_gil([&] {
      if (fast)
        return self ? vpm::induced_velocities_fast(f, rtol, gradient)
                    : vpm::induced_at_points_fast(f, tx, ty, tz, rtol, gradient);
      if (gradient) return self ? vpm::induced_with_gradient(f) : vpm::induced_with_gradient_at(f, tx, ty, tz);
      return vpm::VelGrad{self ? vpm::induced_velocities(f) : vpm::induced_at_points(f, tx, ty, tz), {}};
    });
    const std::size_t m = r.vel.size();
    double* v = nullptr;
    Owned vel{kit::new_array2_out(m, 3, &v)};
    for (std::size_t j = 0; j < m; ++j)
      for (int c = 0; c < 3; ++c) v[3 * j + c] = r.vel[j][c];
    Owned grad{gradient ? nullptr : kit::none()};
    if (gradient) {
      double* g = nullptr;
      grad.p = kit::new_array2_out(m, 9, &g);
      for (std::size_t j = 0; j < m; ++j)
        for (int e = 0; e < 9; ++e) g[9 * j + e] = r.grad[j][e];
    }
    return kit::tuple({vel.release(), grad.release()});
  });
}

// ---- worker control

constexpr const char* N_NAMES[] = {"n"};
constexpr kit::Signature SETN_SIG{"set_num_threads()", N_NAMES, 1, 1};

PyObject* py_set_num_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(SETN_SIG, args, nargs, kw);
    const std::size_t n = a[0] == Py_None ? 0 : kit::extract<std::size_t>(a[0], "n");
    if (n > MAX_WORKERS)
      throw ValueError("n must be at most " + std::to_string(MAX_WORKERS) + ", got " + std::to_string(n));
    vpm::pool::set_worker_count(n);
    return kit::none();
  });
}

PyObject* py_num_threads(PyObject*, PyObject*) {
  return kit::guard([&] { return kit::to_py(vpm::pool::worker_count()); });
}

PyObject* py_kernel_isa(PyObject*, PyObject*) {
  return kit::guard([&] { return kit::to_py(vpm::isa_name(vpm::active_isa())); });
}

PyObject* py_kernel_quotient(PyObject*, PyObject*) {
  return kit::guard([&] { return kit::to_py(vpm::reciprocal_quotient_enabled() ? "reciprocal" : "divide"); });
}

PyMethodDef ext_methods[] = {
    {"spanwise", kit::fastcall(py_spanwise), FAST,
     "spanwise(model, inputs, state)\n--\n\n"
     "Spanwise loads of a blade-element model (any of the six model classes or the\n"
     "three blade-section models) at\n"
     "one operating point and state, from the same sweep as compute_forces.\n"
     "A dict of new float64 arrays of shape (n_psi_elements, n_elements):\n"
     "radius_m, alpha_rad, phi_rad, cl, cd, inflow_ratio (axial speed through\n"
     "the element / tip speed, positive in hover), q_dyn_pa, thrust_n and\n"
     "torque_nm (one blade's element loads); azimuth_rad (n_psi_elements,) and\n"
     "n_blades. n_blades / n_psi_elements times the sum of thrust_n (torque_nm)\n"
     "is compute_forces' thrust (shaft torque). Stations the sweep skips carry\n"
     "zero loads and NaN flow quantities."},
    {"wake", kit::fastcall(py_wake), FAST,
     "wake(state)\n--\n\n"
     "The wake of a VpmRotorState as new arrays (hub axes): position_m (n, 3),\n"
     "strength_m3_s (n, 3), core_radius_m (n,), age_s (n,) or None when the\n"
     "state does not carry ages; psi_rad (azimuth of blade 0) and beta_rad\n"
     "(flap angle per blade, or None). Oldest particles first."},
    {"bound_circulation", kit::fastcall(py_bound_circulation), FAST,
     "bound_circulation(state)\n--\n\n"
     "Bound circulation (m^2/s) per blade and element after the last step, a new\n"
     "(n_blades, n_elements) array; None before the first step."},
    {"vpm_blade", kit::fastcall(py_vpm_blade), FAST,
     "vpm_blade(rotor)\n--\n\n"
     "The blade discretisation of a vortex-particle rotor: n_blades, r_edge_m,\n"
     "r_mid_m, chord_m, twist_rad."},
    {"induced_velocity", kit::fastcall(py_induced_velocity), FAST,
     "induced_velocity(positions, strengths, cores, targets, fast, rtol, gradient)\n--\n\n"
     "Velocity (m/s) induced by vortex particles (positions (n, 3) m, strengths\n"
     "(n, 3) m^3/s, core radii (n,) m; float64, evaluated in single precision) at\n"
     "targets (m, 3), or at the particles when targets is None: by the direct sum\n"
     "(fast false) or the fast summation with relative error rtol. Returns\n"
     "(velocity (m, 3), gradient (m, 9) with du_i/dx_j at 3i + j, or None)."},
    {"set_num_threads", kit::fastcall(py_set_num_threads), FAST,
     "set_num_threads(n)\n--\n\n"
     "Participants (worker threads plus the caller) of the wake's parallel loops\n"
     "from the next loop on; 0 or None: one per usable CPU. Results are identical\n"
     "for every count."},
    {"num_threads", py_num_threads, METH_NOARGS,
     "num_threads()\n--\n\nParticipants of the wake's parallel loops."},
    {"kernel_isa", py_kernel_isa, METH_NOARGS,
     "kernel_isa()\n--\n\nThe instruction set the wake's velocity kernels run on."},
    {"kernel_quotient", py_kernel_quotient, METH_NOARGS,
     "kernel_quotient()\n--\n\n"
     "How the direct sum forms r2/s2: 'reciprocal' or 'divide' (same bits either way)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

namespace reg {

void extensions(PyObject* m) {
  Owned ext{kit::check(PyModule_New("aerlox._aerlox._ext"))};
  if (PyModule_AddFunctions(ext.p, ext_methods) != 0) throw kit::PyErrSet{};
  resolved_wake(ext.p);
  sections(ext.p);
  section_models(ext.p);
  ext_equilibrium(ext.p);
  if (PyModule_AddObjectRef(m, "_ext", ext.p) != 0) throw kit::PyErrSet{};
}

}  // namespace reg
