// The resolved free wake on _aerlox._ext: a vortex rotor made with the
// resolved-wake physics, and the blades' element data its steps record.
// The registry's vortex rotor classes keep their own constructor and
// behaviour; a resolved rotor is an object of the same class whose core rotor
// carries the physics.
#include <cmath>
#include <memory>
#include <string>

#include "kit/kit.hpp"
#include "models_py.hpp"
#include "registry.hpp"
#include "vpm/rotor.hpp"

using namespace aerlox_rs;
using aerlox_rs::vpm::VpmRotor;
using aerlox_rs::vpm::VpmRotorState;
using aerlox_rs::vpm::WakePhysics;

namespace {

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

constexpr const char* RES_NAMES[] = {"rotor",        "overlap",   "near_core_chord", "near_core_width",
                                     "near_steps",   "squire_a1", "nu_m2_s",         "stretching",
                                     "relaxation",   "max_split", "fast_rtol",       "fast_min_particles",
                                     "transposed",   "smagorinsky", "collocation", "upstream_cut_radii",
                                     "stretching_age_rev", "axial_stretching", "stretching_max_length"};
constexpr kit::Signature RES_SIG{"vpm_resolved()", RES_NAMES, 1, 19};

WakePhysics physics_of(const kit::Bound& a) {
  WakePhysics ph;
  ph.overlap = kit::extract_or<float>(a[1], "overlap", ph.overlap);
  ph.near_core_chord = kit::extract_or<double>(a[2], "near_core_chord", ph.near_core_chord);
  ph.near_core_width = kit::extract_or<double>(a[3], "near_core_width", ph.near_core_width);
  ph.near_steps = kit::extract_or<std::size_t>(a[4], "near_steps", ph.near_steps);
  ph.squire_a1 = kit::extract_or<double>(a[5], "squire_a1", ph.squire_a1);
  ph.nu_m2_s = kit::extract_or<double>(a[6], "nu_m2_s", ph.nu_m2_s);
  ph.stretching = kit::extract_or<bool>(a[7], "stretching", ph.stretching);
  ph.relaxation = kit::extract_or<double>(a[8], "relaxation", ph.relaxation);
  ph.max_split = kit::extract_or<std::size_t>(a[9], "max_split", ph.max_split);
  ph.fast_rtol = kit::extract_or<double>(a[10], "fast_rtol", ph.fast_rtol);
  ph.fast_min_particles = kit::extract_or<std::size_t>(a[11], "fast_min_particles", ph.fast_min_particles);
  ph.transposed = kit::extract_or<bool>(a[12], "transposed", ph.transposed);
  ph.smagorinsky = kit::extract_or<double>(a[13], "smagorinsky", ph.smagorinsky);
  ph.collocation = kit::extract_or<double>(a[14], "collocation", ph.collocation);
  ph.upstream_cut_radii = kit::extract_or<double>(a[15], "upstream_cut_radii", ph.upstream_cut_radii);
  ph.stretching_age_rev = kit::extract_or<double>(a[16], "stretching_age_rev", ph.stretching_age_rev);
  ph.axial_stretching = kit::extract_or<bool>(a[17], "axial_stretching", ph.axial_stretching);
  ph.stretching_max_length = kit::extract_or<double>(a[18], "stretching_max_length", ph.stretching_max_length);
  return ph;
}

template <class P>
PyObject* resolved_if(PyObject* o, const WakePhysics& ph) {
  using H = std::unique_ptr<VpmRotor<P>>;
  if (!kit::is_instance<H>(o)) return nullptr;
  const VpmRotor<P>& r = *kit::unbox<H>(o);
  return kit::wrap_as(Py_TYPE(o), std::make_unique<VpmRotor<P>>(r.with_physics(ph)));
}

PyObject* py_vpm_resolved(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(RES_SIG, args, nargs, kw);
    const WakePhysics ph = physics_of(a);
    PyObject* r = resolved_if<LinearPolar>(a[0], ph);
    if (!r) r = resolved_if<TabulatedPolar>(a[0], ph);
    if (!r)
      kit::raise(PyExc_TypeError,
                 "argument 'rotor': '" + kit::type_name(a[0]) + "' object is not a vortex-particle rotor");
    return r;
  });
}

constexpr const char* STATE_NAMES[] = {"state"};
constexpr kit::Signature SNAP_SIG{"vpm_blade_snapshot()", STATE_NAMES, 1, 1};

constexpr auto put = kit::dict_put;

PyObject* py_vpm_blade_snapshot(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(SNAP_SIG, args, nargs, kw);
    const VpmRotorState& st = kit::as_ref_arg<VpmRotorState>(a[0], "state");
    if (!st.blade) return kit::none();
    const vpm::BladeSnapshot& s = *st.blade;
    const std::size_t nb = s.n_blades, n = s.n_elements;
    kit::Owned d{kit::check(PyDict_New())};
    put(d.p, "psi_rad", kit::new_array(s.psi_rad));
    const std::pair<const char*, const std::vector<double>*> fields[] = {
        {"alpha_rad", &s.alpha_rad},   {"phi_rad", &s.phi_rad},       {"cl", &s.cl},
        {"cd", &s.cd},                 {"gamma_m2_s", &s.gamma_m2_s}, {"speed_m_s", &s.speed_m_s},
        {"thrust_N_per_m", &s.thrust_n_per_m}, {"torque_Nm_per_m", &s.torque_nm_per_m}};
    for (const auto& [key, v] : fields) put(d.p, key, kit::new_array2(nb, n, *v));
    put(d.p, "max_particle_speed_m_s", kit::to_py(s.max_particle_speed_m_s));
    put(d.p, "shed", kit::to_py(s.shed));
    return d.release();
  });
}

constexpr const char* SEED_NAMES[] = {"positions", "strengths", "cores", "ages", "gamma"};
constexpr kit::Signature SEED_SIG{"vpm_seeded_state()", SEED_NAMES, 5, 5};

// A state whose wake and bound circulation are given: the march continues from
// it as from a state it made itself, the seeded particles taken as older wake.
PyObject* py_vpm_seeded_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(SEED_SIG, args, nargs, kw);
    const kit::ArrayRef pos = kit::extract_rows3(a[0], "positions"), str = kit::extract_rows3(a[1], "strengths");
    const kit::ArrayRef core = kit::extract_array<1>(a[2], "cores"), age = kit::extract_array<1>(a[3], "ages");
    const kit::ArrayRef gam = kit::extract_array<2>(a[4], "gamma");
    const std::size_t n = pos.shape[0];
    if (str.shape[0] != n || core.shape[0] != n || age.shape[0] != n)
      throw ValueError("positions, strengths, cores and ages must have the same number of particles");
    VpmRotorState st;
    vpm::ParticleField f;
    for (std::size_t i = 0; i < n; ++i) {
      const double c = core.at(i), t = age.at(i);
      if (!(c > 0.0) || !std::isfinite(c)) throw ValueError("cores must be positive and finite");
      if (!(t >= 0.0) || !std::isfinite(t)) throw ValueError("ages must be non-negative and finite");
      for (std::size_t k = 0; k < 3; ++k)
        if (!std::isfinite(pos.at(i, k)) || !std::isfinite(str.at(i, k)))
          throw ValueError("positions and strengths must be finite");
      f.push({static_cast<float>(pos.at(i, 0)), static_cast<float>(pos.at(i, 1)), static_cast<float>(pos.at(i, 2))},
             {static_cast<float>(str.at(i, 0)), static_cast<float>(str.at(i, 1)), static_cast<float>(str.at(i, 2))},
             static_cast<float>(c));
    }
    std::vector<double> ages(n);
    for (std::size_t i = 0; i < n; ++i) ages[i] = age.at(i);
    std::vector<std::vector<double>> g(gam.shape[0], std::vector<double>(gam.shape[1]));
    for (std::size_t b = 0; b < gam.shape[0]; ++b)
      for (std::size_t e = 0; e < gam.shape[1]; ++e) {
        g[b][e] = gam.at(b, e);
        if (!std::isfinite(g[b][e])) throw ValueError("gamma must be finite");
      }
    st.wake = std::move(f);
    st.wake_age_s = std::move(ages);
    st.wake_filament = std::vector<vpm::Filament>(n);
    st.gamma = std::move(g);
    return kit::wrap(std::move(st));
  });
}

PyMethodDef methods[] = {
    {"vpm_resolved", kit::fastcall(py_vpm_resolved), FAST,
     "vpm_resolved(rotor, overlap=1.0, near_core_chord=0.05, near_core_width=0.5, near_steps=3,\n"
     "             squire_a1=6.5e-05, nu_m2_s=1.5e-05, stretching=False, relaxation=0.0, max_split=64,\n"
     "             fast_rtol=0.0, fast_min_particles=4096, transposed=True,\n"
     "             smagorinsky=0.0, collocation=0.0, upstream_cut_radii=0.0,\n"
     "             stretching_age_rev=0.0, axial_stretching=False, stretching_max_length=0.0)\n--\n\n"
     "A copy of a vortex-particle rotor that marches the resolved wake: each step's\n"
     "trailing legs laid along the arc their edge swept, drifted by the air, and\n"
     "every shed segment cut into particles no further apart than overlap times\n"
     "their core; the blade's own trailing vorticity and the last near_steps steps of shed\n"
     "vorticity seen by the blade as vortex segments whose core is the larger of\n"
     "near_core_chord chords and near_core_width element widths, grown with age\n"
     "(r_c^2 = r_0^2 + 4 alpha_L delta nu t, delta = 1 + squire_a1 |Gamma| / nu);\n"
     "the blade's points summed directly over the wake. Optional: vortex\n"
     "stretching (the transposed scheme, or the classical one), a relaxation of\n"
     "the strengths towards the local vorticity (fraction per step), cores spread\n"
     "by a Smagorinsky eddy viscosity (nu_t = (smagorinsky sigma)^2 |S|); the\n"
     "advection by the fast summation at relative error fast_rtol once the wake\n"
     "holds fast_min_particles (0: the direct sum); the blade's angle of attack\n"
     "taken collocation chords behind the lifting line (0.5: at the three-quarter\n"
     "chord, with the other elements' bound vorticity); in hover and climb,\n"
     "particles more than upstream_cut_radii tip radii above the disk dropped\n"
     "after each step (0: kept); with stretching, only particles younger than\n"
     "stretching_age_rev revolutions stretched (0: all); with axial_stretching,\n"
     "each strength stretched only along its own direction (no tilting); with\n"
     "stretching_max_length > 0, no strength stretched past its filament's\n"
     "circulation times that many of its core radii. The given rotor is unchanged."},
    {"vpm_blade_snapshot", kit::fastcall(py_vpm_blade_snapshot), FAST,
     "vpm_blade_snapshot(state)\n--\n\n"
     "The blades during the step that made a resolved-wake state, or None: psi_rad\n"
     "(n_blades,), and (n_blades, n_elements) arrays alpha_rad, phi_rad, cl, cd,\n"
     "gamma_m2_s, speed_m_s, thrust_N_per_m, torque_Nm_per_m (at the start of the\n"
     "step); max_particle_speed_m_s of the step's advection (inf when anything in\n"
     "the wake is not finite) and the particles shed."},
    {"vpm_seeded_state", kit::fastcall(py_vpm_seeded_state), FAST,
     "vpm_seeded_state(positions, strengths, cores, ages, gamma)\n--\n\n"
     "A vortex rotor state holding a given wake (positions (n, 3) m, strengths\n"
     "(n, 3) m^3/s, core radii (n,) m, ages since shedding (n,) s; hub axes) and\n"
     "bound circulation (n_blades, n_elements) m^2/s, blade 0 at azimuth 0. A\n"
     "march stepped from it takes the particles as older wake."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

namespace reg {

void resolved_wake(PyObject* ext) {
  if (PyModule_AddFunctions(ext, methods) != 0) throw kit::PyErrSet{};
}

}  // namespace reg
