"""Helpers shared by many tests: the collaborator modules, the demos, the command line and the engine."""

import json
from pathlib import Path

import pytest

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def is_png(path):
    return Path(path).read_bytes()[:8] == PNG_MAGIC


def listing(directory):
    return sorted(p.name for p in Path(directory).iterdir())


def normalised(exp):
    """An experiment's saved form as it reads back from JSON text."""
    return json.loads(json.dumps(exp.serialize()))


def raised(error, call, *args, **kwargs):
    """Calls expecting `error` (a type); returns the exception raised."""
    with pytest.raises(error) as info:
        call(*args, **kwargs)
    return info.value
