// _ext.equilibrium: a blade-element model's inflow states relaxed to
// equilibrium in one call (the toolkit's Rotor.solve runs it for every point).
#include "equilibrium.hpp"
#include "kit/gil.hpp"
#include "kit/kit.hpp"
#include "models_py.hpp"
#include "registry.hpp"

using namespace aerlox_rs;

namespace {

constexpr const char* EQ_NAMES[] = {"model", "state", "inputs", "tolerance", "chunk_steps", "max_chunks",
                                    "dt_fraction"};
constexpr kit::Signature EQ_SIG{"equilibrium()", EQ_NAMES, 3, 7};

PyObject* py_equilibrium(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return kit::guard([&] {
    const kit::Bound a = kit::bind(EQ_SIG, args, nargs, kw);
    const RotorInputs in = kit::extract<RotorInputs>(a[2], "inputs");
    EquilibriumOptions opt;
    opt.tolerance = kit::extract_or<double>(a[3], "tolerance", opt.tolerance);
    opt.chunk_steps = kit::extract_or<std::size_t>(a[4], "chunk_steps", opt.chunk_steps);
    opt.max_chunks = kit::extract_or<std::size_t>(a[5], "max_chunks", opt.max_chunks);
    opt.dt_fraction = kit::extract_or<double>(a[6], "dt_fraction", opt.dt_fraction);
    return kit::with_model(a[0], a[1], [&](const auto& model, const auto& state) {
      auto [relaxed, converged] = kit::without_gil([&] { return relax_to_equilibrium(model, state, in, opt); });
      PyObject* s = kit::wrap(std::move(relaxed));
      return kit::tuple({s, kit::to_py(converged)});
    });
  });
}

PyMethodDef equilibrium_methods[] = {
    {"equilibrium", kit::fastcall(py_equilibrium), METH_FASTCALL | METH_KEYWORDS,
    "equilibrium(model, state, inputs, tolerance=1e-10, chunk_steps=5, max_chunks=2000, dt_fraction=0.5)\n--\n\n"
    "The inflow state of a blade-element model (any of the six classes) relaxed\n"
    "to equilibrium at these inputs, starting from state: (new state, converged).\n"
    "Chunks of chunk_steps semi-implicit steps of dt = dt_fraction times the\n"
    "slowest finite time constant (halved after a chunk that moved away from the\n"
    "target), until every state is within tolerance of its target (derivative\n"
    "times time constant); converged is False when the distance is not finite or\n"
    "max_chunks ran out. The given state is not modified."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

namespace reg {
void ext_equilibrium(PyObject* ext) {
  if (PyModule_AddFunctions(ext, equilibrium_methods) != 0) throw kit::PyErrSet{};
}
}  // namespace reg
