"""Helpers shared by the tests of the collaborator modules, the demos and the command line."""

import json
from pathlib import Path

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def is_png(path):
    return Path(path).read_bytes()[:8] == PNG_MAGIC


def listing(directory):
    return sorted(p.name for p in Path(directory).iterdir())


def normalised(exp):
    """An experiment's saved form as it reads back from JSON text."""
    return json.loads(json.dumps(exp.serialize()))
