"""The stores space tests run against: SQLite, and PostgreSQL when a server is reachable.

The server comes from ``VARNOK_TEST_POSTGRES_URL`` (a user that may create schemas in its
database); every test gets a schema of its own, dropped afterwards.  Without a reachable server
the PostgreSQL cases skip, saying why, unless ``VARNOK_REQUIRE_POSTGRES=1`` (CI) makes that a
failure.
"""

from __future__ import annotations

import functools
import os
import secrets
import urllib.parse

import pytest

URL_VARIABLE = "VARNOK_TEST_POSTGRES_URL"
REQUIRE_VARIABLE = "VARNOK_REQUIRE_POSTGRES"


@functools.cache
def _server_problem() -> str | None:
    url = os.environ.get(URL_VARIABLE)
    if not url:
        return f"PostgreSQL cases need a server: {URL_VARIABLE} is not set"
    import psycopg

    try:
        psycopg.connect(url, connect_timeout=3).close()
    except psycopg.Error as exc:
        return f"PostgreSQL server of {URL_VARIABLE} is not reachable: {' '.join(str(exc).split())}"
    return None


def postgres_base_url() -> str:
    """The server's URL, or the test skips (fails under ``VARNOK_REQUIRE_POSTGRES=1``)."""
    problem = _server_problem()
    if problem is not None:
        if os.environ.get(REQUIRE_VARIABLE) == "1":
            pytest.fail(f"{problem} (and {REQUIRE_VARIABLE}=1)", pytrace=False)
        pytest.skip(problem)
    return os.environ[URL_VARIABLE]


def with_query(url: str, **params: str) -> str:
    return url + ("&" if "?" in url else "?") + urllib.parse.urlencode(params, quote_via=urllib.parse.quote)


@pytest.fixture
def postgres_url():
    """A URL whose tables live in a new, empty schema of the test server."""
    import psycopg

    base = postgres_base_url()
    schema = f"vk_{secrets.token_hex(6)}"
    with psycopg.connect(base, autocommit=True) as admin:
        admin.execute(f"CREATE SCHEMA {schema}")
    yield with_query(base, options=f"-c search_path={schema}")
    with psycopg.connect(base, autocommit=True) as admin:
        admin.execute(f"DROP SCHEMA {schema} CASCADE")


def store_location(request, tmp_path) -> str:
    """Where the space of a test parametrized by store kind lives ("memory", "sqlite", "postgresql")."""
    if request.param == "memory":
        return ":memory:"
    if request.param == "sqlite":
        return str(tmp_path / "space.sqlite")
    return request.getfixturevalue("postgres_url")


@pytest.fixture(params=["sqlite", "postgresql"])
def store_url(request, tmp_path):
    """Where a shared space lives: an SQLite file, or an empty schema on the PostgreSQL server."""
    return store_location(request, tmp_path)
