"""Saving results so that what is read back is what was saved.

``save(ds, path)`` writes a Dataset to netCDF atomically (the old file stays
whole until the new one is complete on the disk) with a checksum of every
variable's values in ``attrs["aerlox_checksum"]``; ``load(path)`` reads it back
and refuses a file whose data no longer match. Plain ``ds.to_netcdf(path)``
writes in place: interrupted, it can leave a file that still opens but holds
wrong numbers.
"""
from __future__ import annotations

import hashlib
import math
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, Mapping, Union

import numpy as np

from . import _atomic

if TYPE_CHECKING:
    import xarray

__all__ = ["save", "load", "checksum", "CHECKSUM_ATTR"]

#: The attribute holding a saved Dataset's checksum.
CHECKSUM_ATTR = "aerlox_checksum"
_PREFIX = "sha256:"


def _feed(h, values: Any) -> None:
    """Hash values in a form a netCDF round trip does not change (dtype width, NaN payload)."""
    arr = np.asarray(values)
    h.update(repr(arr.shape).encode())
    kind = arr.dtype.kind
    if kind == "b":
        h.update(b"b" + arr.astype(np.uint8).tobytes())
    elif kind in "iu":
        h.update(b"i" + arr.astype(np.int64).tobytes())
    elif kind == "f":
        arr = arr.astype(np.float64)
        h.update(b"f" + np.where(np.isnan(arr), math.nan, arr).tobytes())
    else:  # text, whatever width or object form it comes back in
        h.update(b"s")
        for item in arr.reshape(-1).tolist():
            text = item.decode("utf-8", "replace") if isinstance(item, bytes) else str(item)
            data = text.encode("utf-8", "surrogatepass")
            h.update(len(data).to_bytes(8, "little") + data)


def checksum(variables: Union["xarray.Dataset", Mapping[str, Any]]) -> str:
    """A checksum of the values of every variable and coordinate, by name."""
    source = variables.variables if hasattr(variables, "variables") else variables
    if not isinstance(source, Mapping):
        raise TypeError(f"variables must be an xarray.Dataset or a mapping of names to arrays, "
                        f"got {type(variables).__name__}")
    h = hashlib.sha256()
    for name in sorted(source, key=str):
        label = str(name).encode("utf-8", "surrogatepass")
        h.update(len(label).to_bytes(4, "little") + label)
        _feed(h, getattr(source[name], "values", source[name]))
    return _PREFIX + h.hexdigest()


def save(ds: "xarray.Dataset", path: Union[str, "os.PathLike[str]"], **to_netcdf: Any) -> Path:
    """Write ``ds`` to the netCDF file ``path`` atomically, with a checksum of its data.

    The file is written beside ``path`` under a fresh name, synced to the disk and
    renamed over ``path``, so an interrupted or failing save leaves the old file
    as it was. ``to_netcdf`` keywords (``engine``, ``format``, ...) go to
    ``xarray.Dataset.to_netcdf``. Returns the path. Read it back with :func:`load`.
    """
    import xarray as xr

    if not isinstance(ds, xr.Dataset):
        raise TypeError(f"ds must be an xarray.Dataset, got {type(ds).__name__}")
    path = Path(path)
    out = ds.copy(deep=False)
    out.attrs = dict(ds.attrs)
    out.attrs[CHECKSUM_ATTR] = checksum(ds)
    with _atomic.replacing(path) as tmp:
        out.to_netcdf(tmp, **to_netcdf)
    return path


def verify(ds: "xarray.Dataset", source: str = "the Dataset") -> None:
    """Raise ValueError when ``ds`` carries a checksum its data do not match."""
    saved = ds.attrs.get(CHECKSUM_ATTR)
    if saved is None:
        return
    if checksum(ds) != str(saved):
        raise ValueError(f"{source}: its data do not match the checksum saved with them; the file is "
                         "damaged (an interrupted write?) and its numbers cannot be trusted")


def load(path: Union[str, "os.PathLike[str]"], **load_dataset: Any) -> "xarray.Dataset":
    """Read a Dataset written by :func:`save`, refusing it when its data fail the checksum.

    A file without a checksum (written by plain ``to_netcdf``) is read as it is.
    ``load_dataset`` keywords go to ``xarray.load_dataset``. Raises
    FileNotFoundError for a missing file and ValueError, naming the file, for one
    that is not readable netCDF or whose data do not match their checksum.
    """
    import xarray as xr

    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"{path}: no such file")
    try:
        ds = xr.load_dataset(path, **load_dataset)
    except (OSError, ValueError, TypeError, KeyError, IndexError, RuntimeError) as exc:
        raise ValueError(f"{path}: not a readable netCDF file ({type(exc).__name__}: {exc})") from None
    verify(ds, str(path))
    return ds
