#pragma once
// Each area of the module registers its own classes and functions; the module
// entry calls these in registry order, which is also the order of __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace reg {

// Free functions of the control and spin-dynamics areas.
void cyclic_coeffs(PyObject* m);
void omega_derivative(PyObject* m);
void step_omega(PyObject* m);

// Polars and rotor definition.
void LinearPolar(PyObject* m);
void TabulatedPolar(PyObject* m);
void BladeGeometry(PyObject* m);
void LinearPolarParameters(PyObject* m);
void ControlProperties(PyObject* m);
void ServoFlapGeometry(PyObject* m);
void ServoFlapActuation(PyObject* m);
void FlapProperties(PyObject* m);
void RotorDefinition(PyObject* m);

// States of the blade-element models and of the vortex rotor.
void QuasiStaticRotorState(PyObject* m);
void PittPetersRotorState(PyObject* m);
void OyeRotorState(PyObject* m);
void VpmRotorState(PyObject* m);

// Operating inputs and results.
void RotorInputs(PyObject* m);
void AeroResult(PyObject* m);

// The blade-element models.
void _QuasiStaticBEMLinear(PyObject* m);
void _QuasiStaticBEMTabulated(PyObject* m);
void _PittPetersModelLinear(PyObject* m);
void _PittPetersModelTabulated(PyObject* m);
void _OyeBEMModelLinear(PyObject* m);
void _OyeBEMModelTabulated(PyObject* m);

// The vortex-particle rotors.
void _VpmRotorLinear(PyObject* m);
void _VpmRotorTabulated(PyObject* m);

// Trim.
void TrimResult(PyObject* m);
void solve_trim_cyclic_py(PyObject* m);
void relax_inflow_py(PyObject* m);

// Beside the registry (not in __all__): the private extension namespace _ext.
void extensions(PyObject* m);
// On _ext: the blade-section polar and its three models.
void sections(PyObject* ext);
void section_models(PyObject* ext);
/// Adds equilibrium() to the _ext namespace (equilibrium_py.cpp).
void ext_equilibrium(PyObject* ext);

}  // namespace reg
