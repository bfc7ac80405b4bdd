// RotorInputs and AeroResult: the per-call operating point and its loads.
#include "kit/kit.hpp"
#include "numfmt.hpp"
#include "registry.hpp"

using aerlox_rs::AeroResult;
using aerlox_rs::RotorInputs;

namespace {

constexpr const char* INPUT_NAMES[] = {"collective_rad", "tilt_lon",   "tilt_lat",    "R_hub",
                                       "v_hub_world",    "wind_world", "omega_rad_s", "rho_kg_m3"};
constexpr kit::Signature INPUT_SIG{"RotorInputs.__new__()", INPUT_NAMES, 8, 8};

PyObject* inputs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(INPUT_SIG, args, kwargs);
    RotorInputs in;
    // Every argument's type first, in signature order; shapes afterwards.
    in.collective_rad = kit::extract<double>(a[0], "collective_rad");
    in.tilt_lon = kit::extract<double>(a[1], "tilt_lon");
    in.tilt_lat = kit::extract<double>(a[2], "tilt_lat");
    // Array types are checked here, in signature order; read further down.
    kit::extract_array<2>(a[3], "R_hub");
    kit::extract_array<1>(a[4], "v_hub_world");
    kit::extract_array<1>(a[5], "wind_world");
    in.omega_rad_s = kit::extract<double>(a[6], "omega_rad_s");
    in.rho_kg_m3 = kit::extract<double>(a[7], "rho_kg_m3");
    // float() above may have run Python code that resized or retyped the
    // arrays: look at them again rather than read through stale pointers.
    in.R_hub = kit::read_mat3(kit::extract_array<2>(a[3], "R_hub"), "R_hub");
    in.v_hub_world = kit::read_vec3(kit::extract_array<1>(a[4], "v_hub_world"), "v_hub_world");
    in.wind_world = kit::read_vec3(kit::extract_array<1>(a[5], "wind_world"), "wind_world");
    return kit::wrap_as(type, in);
  });
}

using RI = RotorInputs;
PyGetSetDef inputs_getset[] = {
    {"collective_rad", kit::get_field<RI, &RI::collective_rad>, kit::set_field<RI, &RI::collective_rad>, nullptr, nullptr},
    {"tilt_lon", kit::get_field<RI, &RI::tilt_lon>, kit::set_field<RI, &RI::tilt_lon>, nullptr, nullptr},
    {"tilt_lat", kit::get_field<RI, &RI::tilt_lat>, kit::set_field<RI, &RI::tilt_lat>, nullptr, nullptr},
    {"R_hub", kit::get_field<RI, &RI::R_hub>, nullptr, nullptr, nullptr},
    {"v_hub_world", kit::get_field<RI, &RI::v_hub_world>, nullptr, nullptr, nullptr},
    {"wind_world", kit::get_field<RI, &RI::wind_world>, nullptr, nullptr, nullptr},
    {"omega_rad_s", kit::get_field<RI, &RI::omega_rad_s>, kit::set_field<RI, &RI::omega_rad_s>, nullptr, nullptr},
    {"rho_kg_m3", kit::get_field<RI, &RI::rho_kg_m3>, kit::set_field<RI, &RI::rho_kg_m3>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

using AR = AeroResult;
PyGetSetDef result_getset[] = {
    {"F_world", kit::get_field<AR, &AR::F_world>, nullptr, nullptr, nullptr},
    {"m_hub_world", kit::get_field<AR, &AR::M_hub_world>, nullptr, nullptr, nullptr},
    {"Q_spin", kit::get_field<AR, &AR::Q_spin>, nullptr, nullptr, nullptr},
    {"M_spin", kit::get_field<AR, &AR::M_spin>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyObject* result_repr(PyObject* self) {
  return kit::guard([&] {
    const AeroResult& r = kit::unbox<AeroResult>(self);
    return kit::to_py("AeroResult(F_world=" + aerlox_rs::vec3_debug(r.F_world) +
                      ", Q_spin=" + aerlox_rs::fmt_plain(r.Q_spin) + ")");
  });
}

}  // namespace

namespace reg {

void RotorInputs(PyObject* m) {
  kit::add_class_for<aerlox_rs::RotorInputs>(
      m, {.name = "RotorInputs",
          .doc = "RotorInputs(collective_rad, tilt_lon, tilt_lat, R_hub, v_hub_world, wind_world, "
                 "omega_rad_s, rho_kg_m3)\n--\n\n",
          .subclassable = false,
          .basicsize = 0,
          .dealloc = nullptr,
          .tp_new = inputs_new,
          .getset = inputs_getset});
}

void AeroResult(PyObject* m) {
  kit::add_class_for<aerlox_rs::AeroResult>(m, {.name = "AeroResult",
                                                .doc = "",
                                                .subclassable = false,
                                                .basicsize = 0,
                                                .dealloc = nullptr,
                                                .tp_new = nullptr,
                                                .repr = result_repr,
                                                .getset = result_getset});
}

}  // namespace reg
