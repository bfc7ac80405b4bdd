// The rotor definition records: BladeGeometry, ControlProperties,
// ServoFlapGeometry, ServoFlapActuation, FlapProperties, RotorDefinition.
#include "kit/kit.hpp"
#include "registry.hpp"
#include "rotor_definition.hpp"

using namespace aerlox_rs;

namespace {

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;
constexpr PyGetSetDef END_GETSET = {nullptr, nullptr, nullptr, nullptr, nullptr};

template <class T, auto Member>
constexpr PyGetSetDef ro(const char* name, const char* doc = nullptr) {
  return {name, kit::get_field<T, Member>, nullptr, doc, nullptr};
}

PyObject* list_of(const std::vector<double>& v) {
  PyObject* l = kit::check(PyList_New(static_cast<Py_ssize_t>(v.size())));
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* f = PyFloat_FromDouble(v[i]);
    if (f == nullptr) {
      Py_DECREF(l);
      throw kit::PyErrSet{};
    }
    PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), f);
  }
  return l;
}

// ---- BladeGeometry

constexpr const char* BLADE_NAMES[] = {"n_blades",         "radius_m",           "root_cutout_m",
                                       "chord_m",          "twist_deg",          "n_elements",
                                       "r_stations_m",     "chord_stations_m",   "twist_stations_deg",
                                       "tip_loss"};
constexpr kit::Signature BLADE_SIG{"BladeGeometry.__new__()", BLADE_NAMES, 9, 10};

PyObject* blade_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(BLADE_SIG, args, kwargs);
    BladeGeometry b;
    b.n_blades = kit::extract<std::size_t>(a[0], "n_blades");
    b.radius_m = kit::extract<double>(a[1], "radius_m");
    b.root_cutout_m = kit::extract<double>(a[2], "root_cutout_m");
    b.chord_m = kit::extract<double>(a[3], "chord_m");
    b.twist_deg = kit::extract<double>(a[4], "twist_deg");
    b.n_elements = kit::extract<std::size_t>(a[5], "n_elements");
    b.r_stations_m = kit::extract<std::vector<double>>(a[6], "r_stations_m");
    b.chord_stations_m = kit::extract<std::vector<double>>(a[7], "chord_stations_m");
    b.twist_stations_deg = kit::extract<std::vector<double>>(a[8], "twist_stations_deg");
    b.tip_loss = kit::extract_or<bool>(a[9], "tip_loss", true);
    return kit::wrap_as(type, std::move(b));
  });
}

constexpr const char* R_NAMES[] = {"r"};

PyObject* blade_chord_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr kit::Signature sig{"BladeGeometry.chord_at()", R_NAMES, 1, 1};
  return kit::guard([&] {
    const kit::Bound a = kit::bind(sig, args, nargs, kw);
    return kit::to_py(kit::unbox<BladeGeometry>(self).chord_at(kit::extract<double>(a[0], "r")));
  });
}

PyObject* blade_twist_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static constexpr kit::Signature sig{"BladeGeometry.twist_at()", R_NAMES, 1, 1};
  return kit::guard([&] {
    const kit::Bound a = kit::bind(sig, args, nargs, kw);
    return kit::to_py(kit::unbox<BladeGeometry>(self).twist_at(kit::extract<double>(a[0], "r")));
  });
}

PyObject* blade_reduce(PyObject* self, PyObject*) {
  return kit::guard([&] {
    const BladeGeometry& b = kit::unbox<BladeGeometry>(self);
    // Always the base class: a subclass instance pickles back as a plain BladeGeometry.
    PyObject* cls = Py_NewRef(reinterpret_cast<PyObject*>(kit::PyClass<BladeGeometry>::type));
    PyObject* argv;
    try {
      argv = kit::tuple({kit::to_py(b.n_blades), kit::to_py(b.radius_m), kit::to_py(b.root_cutout_m),
                         kit::to_py(b.chord_m), kit::to_py(b.twist_deg), kit::to_py(b.n_elements),
                         list_of(b.r_stations_m), list_of(b.chord_stations_m),
                         list_of(b.twist_stations_deg), kit::to_py(b.tip_loss)});
    } catch (...) {
      Py_DECREF(cls);
      throw;
    }
    return kit::tuple({cls, argv});
  });
}

double blade_r_cp(const BladeGeometry& b) { return b.r_cp_m(); }
double blade_span(const BladeGeometry& b) { return b.span_m(); }
double blade_solidity(const BladeGeometry& b) { return b.solidity(); }
double blade_area(const BladeGeometry& b) { return b.disk_area_m2(); }
bool blade_has_stations(const BladeGeometry& b) { return b.has_radial_stations(); }

using BG = BladeGeometry;
PyGetSetDef blade_getset[] = {
    ro<BG, &BG::n_blades>("n_blades"),
    ro<BG, &BG::radius_m>("radius_m"),
    ro<BG, &BG::root_cutout_m>("root_cutout_m"),
    ro<BG, &BG::chord_m>("chord_m"),
    ro<BG, &BG::twist_deg>("twist_deg"),
    ro<BG, &BG::n_elements>("n_elements"),
    ro<BG, &BG::tip_loss>("tip_loss"),
    {"r_cp_m", kit::get_with<BG, blade_r_cp>, nullptr, "Radius two thirds of the way out along the span, m.", nullptr},
    {"span_m", kit::get_with<BG, blade_span>, nullptr, "radius_m - root_cutout_m, m.", nullptr},
    {"solidity", kit::get_with<BG, blade_solidity>, nullptr, "n_blades * chord_m / (pi * radius_m).", nullptr},
    {"disk_area_m2", kit::get_with<BG, blade_area>, nullptr, "Swept annulus area (R^2 - r0^2) * pi, m^2.", nullptr},
    {"has_radial_stations", kit::get_with<BG, blade_has_stations>, nullptr,
     "True when the station lists are usable (>= 2 stations, equal lengths).", nullptr},
    END_GETSET};

PyMethodDef blade_methods[] = {
    {"chord_at", kit::fastcall(blade_chord_at), FAST,
     "chord_at($self, r)\n--\n\nChord (m) at radius r (m): the station table when usable, else chord_m."},
    {"twist_at", kit::fastcall(blade_twist_at), FAST,
     "twist_at($self, r)\n--\n\nTwist (deg) at radius r (m): the station table when usable, else twist_deg."},
    {"__reduce__", blade_reduce, METH_NOARGS, "__reduce__($self)\n--\n\nPickle support."},
    {nullptr, nullptr, 0, nullptr}};

// ---- ControlProperties

constexpr const char* CTRL_NAMES[] = {"swashplate_pitch_gain_rad", "swashplate_phase_deg"};
constexpr kit::Signature CTRL_SIG{"ControlProperties.__new__()", CTRL_NAMES, 2, 2};

PyObject* ctrl_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(CTRL_SIG, args, kwargs);
    ControlProperties c;
    c.swashplate_pitch_gain_rad = kit::extract<double>(a[0], "swashplate_pitch_gain_rad");
    c.swashplate_phase_deg = kit::extract_opt<double>(a[1], "swashplate_phase_deg");
    return kit::wrap_as(type, c);
  });
}

PyObject* ctrl_phase(PyObject* self, void*) {
  return kit::guard([&] {
    const auto& p = kit::unbox<ControlProperties>(self).swashplate_phase_deg;
    return p ? kit::to_py(*p) : kit::none();
  });
}

PyGetSetDef ctrl_getset[] = {
    ro<ControlProperties, &ControlProperties::swashplate_pitch_gain_rad>("swashplate_pitch_gain_rad"),
    {"swashplate_phase_deg", ctrl_phase, nullptr, nullptr, nullptr},
    END_GETSET};

// ---- FlapProperties

constexpr const char* FLAP_NAMES[] = {"I_blade_flap_kgm2", "omega_nr_rad_s"};
constexpr kit::Signature FLAP_SIG{"FlapProperties.__new__()", FLAP_NAMES, 2, 2};

PyObject* flap_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(FLAP_SIG, args, kwargs);
    FlapProperties f{kit::extract<double>(a[0], "I_blade_flap_kgm2"),
                     kit::extract<double>(a[1], "omega_nr_rad_s")};
    return kit::wrap_as(type, f);
  });
}

PyGetSetDef flap_getset[] = {
    ro<FlapProperties, &FlapProperties::I_blade_flap_kgm2>("I_blade_flap_kgm2"),
    ro<FlapProperties, &FlapProperties::omega_nr_rad_s>("omega_nr_rad_s"),
    END_GETSET};

// ---- ServoFlapGeometry

constexpr const char* SFG_NAMES[] = {"C_M_delta_per_rad", "r_inner_m", "r_outer_m"};
constexpr kit::Signature SFG_SIG{"ServoFlapGeometry.__new__()", SFG_NAMES, 3, 3};

PyObject* sfg_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(SFG_SIG, args, kwargs);
    ServoFlapGeometry g{kit::extract<double>(a[0], "C_M_delta_per_rad"),
                        kit::extract<double>(a[1], "r_inner_m"), kit::extract<double>(a[2], "r_outer_m")};
    return kit::wrap_as(type, g);
  });
}

using SFG = ServoFlapGeometry;
PyGetSetDef sfg_getset[] = {ro<SFG, &SFG::C_M_delta_per_rad>("C_M_delta_per_rad"),
                            ro<SFG, &SFG::r_inner_m>("r_inner_m"), ro<SFG, &SFG::r_outer_m>("r_outer_m"),
                            END_GETSET};

// ---- ServoFlapActuation

constexpr const char* SFA_NAMES[] = {"I_theta_kgm2", "damper_Nms_per_rad", "flap", "ac_offset_m",
                                     "blade_Cm_AC"};
constexpr kit::Signature SFA_SIG{"ServoFlapActuation.__new__()", SFA_NAMES, 3, 5};

PyObject* sfa_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(SFA_SIG, args, kwargs);
    ServoFlapActuation s;
    s.I_theta_kgm2 = kit::extract<double>(a[0], "I_theta_kgm2");
    s.damper_Nms_per_rad = kit::extract<double>(a[1], "damper_Nms_per_rad");
    s.flap = kit::extract<ServoFlapGeometry>(a[2], "flap");
    s.ac_offset_m = kit::extract_or<double>(a[3], "ac_offset_m", 0.0);
    s.blade_Cm_AC = kit::extract_or<double>(a[4], "blade_Cm_AC", 0.0);
    return kit::wrap_as(type, s);
  });
}

using SFA = ServoFlapActuation;
PyGetSetDef sfa_getset[] = {ro<SFA, &SFA::I_theta_kgm2>("I_theta_kgm2"),
                            ro<SFA, &SFA::damper_Nms_per_rad>("damper_Nms_per_rad"),
                            {"flap", [](PyObject* self, void*) {
                               return kit::guard([&] { return kit::wrap(kit::unbox<SFA>(self).flap); });
                             }, nullptr, nullptr, nullptr},
                            ro<SFA, &SFA::ac_offset_m>("ac_offset_m"),
                            ro<SFA, &SFA::blade_Cm_AC>("blade_Cm_AC"),
                            END_GETSET};

// ---- RotorDefinition

constexpr const char* DEF_NAMES[] = {"blade", "airfoil", "control", "name", "description", "servoflap", "flap"};
constexpr kit::Signature DEF_SIG{"RotorDefinition.__new__()", DEF_NAMES, 5, 7};

PyObject* def_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(DEF_SIG, args, kwargs);
    RotorDefinition d;
    d.blade = kit::extract<BladeGeometry>(a[0], "blade");
    d.airfoil = kit::extract<LinearPolarParameters>(a[1], "airfoil");
    d.control = kit::extract_opt<ControlProperties>(a[2], "control");
    d.name = kit::extract<std::string>(a[3], "name");
    d.description = kit::extract<std::string>(a[4], "description");
    if (auto s = kit::extract_opt<ServoFlapActuation>(a[5], "servoflap")) d.pitch_actuation = ServoFlap{*s};
    d.flap = kit::extract_opt<FlapProperties>(a[6], "flap");
    return kit::wrap_as(type, std::move(d));
  });
}

template <class T>
PyObject* opt_to_py(const std::optional<T>& v) {
  return v ? kit::wrap(*v) : kit::none();
}

PyObject* def_blade(PyObject* self, void*) {
  return kit::guard([&] { return kit::wrap(kit::unbox<RotorDefinition>(self).blade); });
}
PyObject* def_airfoil(PyObject* self, void*) {
  return kit::guard([&] { return kit::wrap(kit::unbox<RotorDefinition>(self).airfoil); });
}
PyObject* def_control(PyObject* self, void*) {
  return kit::guard([&] { return opt_to_py(kit::unbox<RotorDefinition>(self).control); });
}
PyObject* def_flap(PyObject* self, void*) {
  return kit::guard([&] { return opt_to_py(kit::unbox<RotorDefinition>(self).flap); });
}
PyObject* def_servoflap(PyObject* self, void*) {
  return kit::guard([&] {
    const ServoFlapActuation* s = kit::unbox<RotorDefinition>(self).servoflap();
    return s ? kit::wrap(*s) : kit::none();
  });
}

PyGetSetDef def_getset[] = {
    {"blade", def_blade, nullptr, nullptr, nullptr},
    {"airfoil", def_airfoil, nullptr, nullptr, nullptr},
    {"control", def_control, nullptr, nullptr, nullptr},
    ro<RotorDefinition, &RotorDefinition::name>("name"),
    ro<RotorDefinition, &RotorDefinition::description>("description"),
    {"servoflap", def_servoflap, nullptr,
     "ServoFlapActuation when in servo-flap mode, else None (direct mechanical).", nullptr},
    {"flap", def_flap, nullptr, "FlapProperties for quasi-static blade flapping, or None (rigid blade).",
     nullptr},
    END_GETSET};

}  // namespace

namespace reg {

void BladeGeometry(PyObject* m) {
  kit::add_class_for<aerlox_rs::BladeGeometry>(
      m, {.name = "BladeGeometry",
          .doc = "BladeGeometry(n_blades, radius_m, root_cutout_m, chord_m, twist_deg, n_elements, "
                 "r_stations_m, chord_stations_m, twist_stations_deg, tip_loss=True)\n--\n\n",
          .subclassable = true,
          .basicsize = 0,
          .dealloc = nullptr,
          .tp_new = blade_new,
          .getset = blade_getset,
          .methods = blade_methods});
}

void ControlProperties(PyObject* m) {
  kit::add_class_for<aerlox_rs::ControlProperties>(
      m, {.name = "ControlProperties",
          .doc = "ControlProperties(swashplate_pitch_gain_rad, swashplate_phase_deg)\n--\n\n",
          .subclassable = false,
          .basicsize = 0,
          .dealloc = nullptr,
          .tp_new = ctrl_new,
          .getset = ctrl_getset});
}

void ServoFlapGeometry(PyObject* m) {
  kit::add_class_for<aerlox_rs::ServoFlapGeometry>(
      m, {.name = "ServoFlapGeometry",
          .doc = "ServoFlapGeometry(C_M_delta_per_rad, r_inner_m, r_outer_m)\n--\n\n",
          .subclassable = false,
          .basicsize = 0,
          .dealloc = nullptr,
          .tp_new = sfg_new,
          .getset = sfg_getset});
}

void ServoFlapActuation(PyObject* m) {
  kit::add_class_for<aerlox_rs::ServoFlapActuation>(
      m, {.name = "ServoFlapActuation",
          .doc = "ServoFlapActuation(I_theta_kgm2, damper_Nms_per_rad, flap, ac_offset_m=0.0, "
                 "blade_Cm_AC=0.0)\n--\n\n",
          .subclassable = false,
          .basicsize = 0,
          .dealloc = nullptr,
          .tp_new = sfa_new,
          .getset = sfa_getset});
}

void FlapProperties(PyObject* m) {
  kit::add_class_for<aerlox_rs::FlapProperties>(
      m, {.name = "FlapProperties",
          .doc = "FlapProperties(I_blade_flap_kgm2, omega_nr_rad_s)\n--\n\n",
          .subclassable = false,
          .basicsize = 0,
          .dealloc = nullptr,
          .tp_new = flap_new,
          .getset = flap_getset});
}

void RotorDefinition(PyObject* m) {
  kit::add_class_for<aerlox_rs::RotorDefinition>(
      m, {.name = "RotorDefinition",
          .doc = "RotorDefinition(blade, airfoil, control, name, description, servoflap=None, "
                 "flap=None)\n--\n\n",
          .subclassable = false,
          .basicsize = 0,
          .dealloc = nullptr,
          .tp_new = def_new,
          .getset = def_getset});
}

}  // namespace reg
