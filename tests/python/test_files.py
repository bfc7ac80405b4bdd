"""Files the toolkit writes: a failed write leaves the old file whole, and damaged data are refused."""
import errno
import os

import numpy as np
import pytest
import xarray as xr

import aerlox as ax
from aerlox import _atomic


@pytest.fixture(scope="module")
def rotor():
    return ax.Rotor(2, 1.0, 0.06, [4.0, -4.0], ax.Airfoil.linear(5.7), root_cutout_m=0.1,
                    stations_m=[0.1, 1.0], elements=6, azimuth_stations=8, name="files")


HOVER = ax.OperatingPoint.hover(rpm=1300, collective_deg=8.0)


def _disk_full(*args):
    raise OSError(errno.ENOSPC, "No space left on device")


def test_failed_writes_leave_the_old_file_and_no_temporary(rotor, tmp_path, monkeypatch):
    rotor.to_json(tmp_path / "rotor.json")
    ds = ax.simulate(rotor, model="oye", t_end_s=0.004, dt_s=1e-3, schedule=HOVER)
    ax.save(ds, tmp_path / "run.nc")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    with monkeypatch.context() as m:
        m.setattr(_atomic.os, "fsync", _disk_full)
        with pytest.raises(OSError, match="No space"):
            rotor.replace(name="other").to_json(tmp_path / "rotor.json")
        with pytest.raises(OSError, match="No space"):
            ax.save(ds.isel(time_s=slice(0, 2)), tmp_path / "run.nc")
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before
    # A link planted where a temporary file might go is never followed.
    victim = tmp_path / "victim.txt"
    victim.write_text("keep")
    for name in ("rotor.json.tmp", ".rotor.json.tmp"):
        os.symlink(victim, tmp_path / name)
    rotor.to_json(tmp_path / "rotor.json")
    assert victim.read_text() == "keep" and ax.Rotor.from_json(tmp_path / "rotor.json") == rotor


def test_saved_results_are_verified_when_read_back(rotor, tmp_path):
    ds = ax.simulate(rotor, model="pitt-peters", t_end_s=0.004, dt_s=1e-3, schedule=HOVER)
    ax.save(ds, tmp_path / "run.nc")
    back = ax.load(tmp_path / "run.nc")
    assert np.array_equal(back.hub_force_N.values, ds.hub_force_N.values)
    assert ax.load_state(back).to_array().tolist() == ax.load_state(ds).to_array().tolist()
    # One flipped byte in the saved state: the file opens, but neither load nor load_state accepts it.
    raw = bytearray((tmp_path / "run.nc").read_bytes())
    at = raw.find(np.asarray(ds.final_state.values, dtype=">f8").tobytes())
    raw[at + 2] ^= 0x41
    (tmp_path / "bad.nc").write_bytes(bytes(raw))
    with pytest.raises(ValueError, match="bad.nc: its data do not match the checksum"):
        ax.load(tmp_path / "bad.nc")
    with pytest.raises(ValueError, match="final_state: the values do not match the checksum"):
        ax.load_state(xr.load_dataset(tmp_path / "bad.nc"))
    (tmp_path / "cut.nc").write_bytes(bytes(raw[: len(raw) // 3]))
    with pytest.raises(ValueError, match="cut.nc"):
        ax.load(tmp_path / "cut.nc")
    # Only the states this toolkit saves are rebuilt, whatever the file names.
    forged = ds.copy()
    forged["final_state"].attrs["state_class"] = "set_num_threads"
    with pytest.raises(ValueError, match="not a state this toolkit saves"):
        ax.load_state(forged)


def test_a_failed_series_run_leaves_the_earlier_series_whole(rotor, tmp_path):
    pvd = tmp_path / "wake.pvd"
    ax.simulate(rotor, model="vpm", t_end_s=0.004, dt_s=1e-3, schedule=HOVER, wake_pvd=pvd)
    before = {p.relative_to(tmp_path): p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    assert len(before) == 5

    def fails_at(k):
        def schedule(t):
            if t >= k * 1e-3 - 1e-12:
                raise RuntimeError("schedule failed")
            return HOVER.replace(collective_deg=6.0)
        return schedule

    for k in (0, 2):
        with pytest.raises(RuntimeError):
            ax.simulate(rotor, model="vpm", t_end_s=0.006, dt_s=1e-3, schedule=fails_at(k), wake_pvd=pvd)
        assert {p.relative_to(tmp_path): p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before
    # A finished re-run replaces the whole series, stale step files included.
    ax.simulate(rotor, model="vpm", t_end_s=0.002, dt_s=1e-3, schedule=HOVER, wake_pvd=pvd)
    assert sorted(p.name for p in (tmp_path / "wake_steps").iterdir()) == ["wake_000000.vtu", "wake_000001.vtu"]
    assert pvd.read_text().count("<DataSet") == 2 and [p.name for p in tmp_path.iterdir() if p.name[0] == "."] == []
