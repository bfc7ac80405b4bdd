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

// Operating inputs and results.
void RotorInputs(PyObject* m);
void AeroResult(PyObject* m);

}  // namespace reg
