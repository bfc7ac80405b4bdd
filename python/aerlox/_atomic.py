"""Writing a file so that a reader sees the old one or the new one, never half of either.

Every file the toolkit writes goes first to a fresh temporary file beside the
target (created exclusively under a random name, so no planted file or symbolic
link is ever opened), is flushed and synced to the disk, and then renamed over
the target. A failure at any point (a full disk, an exception, Ctrl-C) removes
the temporary file and leaves the target as it was.
"""
from __future__ import annotations

import contextlib
import os
import shutil
import tempfile
from pathlib import Path
from typing import Iterator, Union

PathLike = Union[str, "os.PathLike[str]"]


def _sync_directory(folder: Path) -> None:
    """Make a rename in ``folder`` durable; some systems cannot open a folder, which is no error."""
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _sync_file(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_bytes(path: PathLike, data: bytes) -> Path:
    """Replace ``path`` with ``data`` atomically; returns the path."""
    path = Path(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    _sync_directory(path.parent)
    return path


def write_text(path: PathLike, text: str, encoding: str = "utf-8") -> Path:
    """Replace ``path`` with ``text`` atomically; returns the path."""
    return write_bytes(path, text.encode(encoding))


@contextlib.contextmanager
def replacing(path: PathLike) -> Iterator[Path]:
    """A path for a writer that wants a file name (netCDF): the file written there
    replaces ``path`` when the block ends without an exception.

    The name lies in a fresh private folder beside the target, so whatever the
    writer opens, creates or truncates is ours alone.
    """
    path = Path(path)
    folder = Path(tempfile.mkdtemp(prefix=f".{path.name}.", suffix=".part", dir=path.parent))
    try:
        tmp = folder / path.name
        yield tmp
        _sync_file(tmp)
        os.replace(tmp, path)
        _sync_directory(path.parent)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
