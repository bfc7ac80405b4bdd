// SectionPolar: an airfoil per blade station with Reynolds and Mach number per
// element, on the extension namespace _ext; and the count of Reynolds
// lookups outside the tables.
#include <string>
#include <vector>

#include "kit/kit.hpp"
#include "registry.hpp"
#include "section_polar.hpp"

using namespace aerlox_rs;

namespace {

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

/// A sequence's items, borrowed for as long as this lives.
struct Items {
  PyObject* seq;
  explicit Items(PyObject* o, const char* what) : seq(PySequence_Fast(o, what)) {
    if (seq == nullptr) throw kit::PyErrSet{};
  }
  Items(const Items&) = delete;
  Items& operator=(const Items&) = delete;
  ~Items() { Py_DECREF(seq); }
  std::size_t size() const { return static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq)); }
  PyObject* operator[](std::size_t i) const { return PySequence_Fast_GET_ITEM(seq, static_cast<Py_ssize_t>(i)); }
};

constexpr const char* TABLE_SHAPE =
    "each table is (polar, reynolds or None, cl0, cl_alpha_per_rad, attached_lo_rad, attached_hi_rad)";

SectionTable table_from(PyObject* o) {
  const Items t(o, TABLE_SHAPE);
  if (t.size() != 6) throw ValueError(TABLE_SHAPE);
  SectionTable s;
  if (kit::is_instance<TabulatedPolar>(t[0])) {
    s.table = kit::unbox<TabulatedPolar>(t[0]);
  } else if (kit::is_instance<LinearPolar>(t[0])) {
    s.linear = kit::unbox<LinearPolar>(t[0]);
  } else {
    kit::raise(PyExc_TypeError, "a table's polar must be a LinearPolar or TabulatedPolar, got '" +
                                    kit::type_name(t[0]) + "'");
  }
  s.reynolds = t[1] == Py_None ? 0.0 : kit::extract<double>(t[1], "reynolds");
  s.cl0 = kit::extract<double>(t[2], "cl0");
  s.cl_alpha_per_rad = kit::extract<double>(t[3], "cl_alpha_per_rad");
  s.attached_lo_rad = kit::extract<double>(t[4], "attached_lo_rad");
  s.attached_hi_rad = kit::extract<double>(t[5], "attached_hi_rad");
  return s;
}

std::vector<SectionAirfoil> airfoils_from(PyObject* o) {
  const Items list(o, "airfoils must be a sequence of airfoils, each a sequence of tables");
  std::vector<SectionAirfoil> out;
  for (std::size_t a = 0; a < list.size(); ++a) {
    const Items tables(list[a], "each airfoil must be a sequence of tables");
    SectionAirfoil af;
    for (std::size_t k = 0; k < tables.size(); ++k) af.tables.push_back(table_from(tables[k]));
    out.push_back(std::move(af));
  }
  return out;
}

std::vector<std::size_t> indices_from(PyObject* o) {
  const Items list(o, "station_airfoil must be a sequence of airfoil indices");
  std::vector<std::size_t> out;
  for (std::size_t k = 0; k < list.size(); ++k) out.push_back(kit::extract<std::size_t>(list[k], "station_airfoil"));
  return out;
}

constexpr const char* SP_NAMES[] = {"airfoils",       "station_r_m",        "station_airfoil",
                                    "viscosity_pa_s", "speed_of_sound_m_s", "compressibility",
                                    "mach_limit",     "rotational_augmentation"};
constexpr kit::Signature SP_SIG{"SectionPolar.__new__()", SP_NAMES, 3, 3};

PyObject* sp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(SP_SIG, args, kwargs);
    SectionOptions o;
    o.viscosity_pa_s = kit::extract_or<double>(a[3], "viscosity_pa_s", o.viscosity_pa_s);
    o.speed_of_sound_m_s = kit::extract_or<double>(a[4], "speed_of_sound_m_s", o.speed_of_sound_m_s);
    o.compressibility = parse_compressibility(kit::extract_or<std::string>(a[5], "compressibility", "none"));
    o.mach_limit = kit::extract_or<double>(a[6], "mach_limit", o.mach_limit);
    o.augmentation = parse_augmentation(kit::extract_or<std::string>(a[7], "rotational_augmentation", "none"));
    SectionPolar p(airfoils_from(a[0]), kit::extract<std::vector<double>>(a[1], "station_r_m"),
                   indices_from(a[2]), o);
    return kit::wrap_as(type, std::move(p));
  });
}

PyObject* sp_repr(PyObject* self) {
  return kit::guard([&] {
    const SectionPolar& p = kit::unbox<SectionPolar>(self);
    return kit::to_py("SectionPolar(airfoils=" + std::to_string(p.n_airfoils()) +
                      ", stations=" + std::to_string(p.station_r_m().size()) + ")");
  });
}

PyObject* sp_n_airfoils(PyObject* self, void*) {
  return kit::guard([&] { return kit::to_py(kit::unbox<SectionPolar>(self).n_airfoils()); });
}

PyGetSetDef sp_getset[] = {
    {"n_airfoils", sp_n_airfoils, nullptr, "Number of distinct airfoils.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyObject* py_take_reynolds_clamps(PyObject*, PyObject*) {
  return kit::guard([&] {
    const ReynoldsClamps c = take_reynolds_clamps();
    return kit::tuple({kit::to_py(c.count), kit::to_py(c.lowest), kit::to_py(c.highest)});
  });
}

PyMethodDef functions[] = {
    {"take_reynolds_clamps", py_take_reynolds_clamps, METH_NOARGS,
     "take_reynolds_clamps()\n--\n\n"
     "(count, lowest, highest): the element lookups on this thread since the last\n"
     "call whose Reynolds number lay outside their airfoil's tables (held at the\n"
     "end table), with the lowest and highest such Reynolds numbers; then resets."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

namespace reg {

void sections(PyObject* ext) {
  PyTypeObject* tp = kit::add_class_for<SectionPolar>(
      ext, {.name = "SectionPolar",
            .doc = "SectionPolar(airfoils, station_r_m, station_airfoil, viscosity_pa_s=1.789e-05, "
                   "speed_of_sound_m_s=340.294, compressibility='none', mach_limit=0.7, "
                   "rotational_augmentation='none')\n--\n\n"
                   "The polar of a blade with an airfoil per station, looked up per element at\n"
                   "its own Reynolds number rho W c / viscosity_pa_s and Mach number\n"
                   "W / speed_of_sound_m_s. airfoils: a sequence of airfoils, each a sequence\n"
                   "of tables (polar, reynolds or None, cl0, cl_alpha_per_rad, attached_lo_rad,\n"
                   "attached_hi_rad) in ascending Reynolds number; polar a LinearPolar or a\n"
                   "TabulatedPolar; (cl0, cl_alpha_per_rad) the attached-flow line and\n"
                   "(attached_lo_rad, attached_hi_rad) its range. station_r_m (ascending, m)\n"
                   "and station_airfoil (an index into airfoils per station); between stations\n"
                   "cl and cd blend linearly in radius, outside them the end airfoil holds.\n"
                   "compressibility: 'none' or 'prandtl-glauert' (attached-flow lift, Mach\n"
                   "held at mach_limit); rotational_augmentation: 'none' or 'snel'.",
            .subclassable = false,
            .basicsize = 0,
            .dealloc = nullptr,
            .tp_new = sp_new,
            .repr = sp_repr,
            .getset = sp_getset});
  PyObject* mod = kit::check(PyUnicode_FromString("aerlox._aerlox._ext"));
  const int rc = PyObject_SetAttrString(reinterpret_cast<PyObject*>(tp), "__module__", mod);
  Py_DECREF(mod);
  if (rc < 0) throw kit::PyErrSet{};
  for (PyMethodDef* f = functions; f->ml_name != nullptr; ++f) kit::add_function(ext, f);
}

}  // namespace reg
