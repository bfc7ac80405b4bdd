"""The module imports and does one real computation end to end."""
import numpy as np

import aerlox


def test_import_and_spin_step():
    assert aerlox.step_omega(10.0, 2.0, 5.0, 0.5, 0.1) == 11.0 / 1.04
    ri = aerlox.RotorInputs(0.1, 0.0, 0.0, np.eye(3), np.zeros(3), np.zeros(3), 100.0, 1.225)
    assert ri.omega_rad_s == 100.0
