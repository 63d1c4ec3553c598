"""Files written whole or not at all."""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Callable
from pathlib import Path

__all__ = ["write_atomically"]


def write_atomically(path: str | os.PathLike[str], write: Callable[[str], None]) -> None:
    """Call ``write(temporary_path)`` and move the finished file onto ``path``.

    The temporary file sits beside ``path`` (so the rename is atomic) and
    keeps its suffix, since writers pick their format from it.  An existing
    file at ``path`` is replaced only once the new one is complete; a failed
    write leaves it as it was and removes the temporary file.
    """
    path = Path(path)
    directory = path.parent if str(path.parent) else Path(".")
    if not directory.is_dir():
        raise FileNotFoundError(f"output directory {str(directory)!r} does not exist")
    # Created like any new file (mode 0o666 less the umask), unlike mkstemp's 0o600.
    while True:
        temporary = str(directory / f".{path.name}.{secrets.token_hex(6)}{path.suffix}")
        try:
            os.close(os.open(temporary, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))
            break
        except FileExistsError:
            continue
    try:
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
