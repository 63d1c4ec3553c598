"""Shared fixtures: the engine class, spies on the shared collaborator objects, and the stores shared
spaces live in.

The PostgreSQL server comes from ``VARNOK_TEST_POSTGRES_URL`` (a user that may create schemas in its
database); every test gets a schema of its own, dropped afterwards.  Without a reachable server the
PostgreSQL cases skip, saying why, unless ``VARNOK_REQUIRE_POSTGRES=1`` (CI) makes that a failure.
"""

import functools
import os
import secrets
import urllib.parse
from types import SimpleNamespace

import pytest

from varnok_client.compiler.gate_compiler_register import gate_compiler_register
from varnok_client.experiment.experiment import Experiment
from varnok_client.group import Group
from varnok_client.waveform.waveform_register import waveform_register


class Recorder:
    """Collects the calls that spies make, in order."""

    def __init__(self):
        self.calls = []

    def __call__(self, *entry):
        self.calls.append(entry)

    def names(self):
        return [entry[0] for entry in self.calls]


@pytest.fixture
def calls():
    return Recorder()


@pytest.fixture
def spy_registers(monkeypatch, calls):
    """Replaces the register methods the engine calls, recording each call; compilers only remember their group."""
    monkeypatch.setattr(gate_compiler_register, "get_gate_compiler", lambda group: calls("get_gate_compiler", group)
                        or SimpleNamespace(group=group, compiler_name="fake"))
    monkeypatch.setattr(waveform_register, "load_waveforms_for_group",
                        lambda group: calls("load_waveforms_for_group", group) or "ignored")
    return calls


@pytest.fixture
def group():
    return Group("demo", {"q01.freq": 5.0e9})


@pytest.fixture
def exp():
    return Experiment("title", "description")


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


@functools.cache
def _server_problem():
    url = os.environ.get("VARNOK_TEST_POSTGRES_URL")
    if not url:
        return "PostgreSQL cases need a server: VARNOK_TEST_POSTGRES_URL is not set"
    import psycopg

    try:
        psycopg.connect(url, connect_timeout=3).close()
    except psycopg.Error as exc:
        return f"PostgreSQL server of VARNOK_TEST_POSTGRES_URL is not reachable: {' '.join(str(exc).split())}"
    return None


@pytest.fixture
def postgres_url():
    """A URL whose tables live in a new, empty schema of the test server."""
    problem = _server_problem()
    if problem is not None and os.environ.get("VARNOK_REQUIRE_POSTGRES") == "1":
        pytest.fail(f"{problem} (and VARNOK_REQUIRE_POSTGRES=1)", pytrace=False)
    if problem is not None:
        pytest.skip(problem)
    import psycopg

    base, schema = os.environ["VARNOK_TEST_POSTGRES_URL"], f"vk_{secrets.token_hex(6)}"
    with psycopg.connect(base, autocommit=True) as admin:
        admin.execute(f"CREATE SCHEMA {schema}")
    query = urllib.parse.urlencode({"options": f"-c search_path={schema}"}, quote_via=urllib.parse.quote)
    yield base + ("&" if "?" in base else "?") + query
    with psycopg.connect(base, autocommit=True) as admin:
        admin.execute(f"DROP SCHEMA {schema} CASCADE")


@pytest.fixture(params=["sqlite", "postgresql"])
def store_url(request, tmp_path):
    """Where a shared space lives: an SQLite file, or an empty schema on the PostgreSQL server."""
    return str(tmp_path / "space.sqlite") if request.param == "sqlite" else request.getfixturevalue("postgres_url")
