"""pytest fixtures for code that talks to the bank.

Enable with ``pytest_plugins = ["halvenor_scb_lib.sandbox.pytest_plugin"]`` and take the
``scb_sandbox`` fixture: one server for the whole session, reset before every test, with
SCB_SANDBOX_HOST, SCB_PRODUCTION_HOST and CURL_CA_BUNDLE pointing at it during the test.
A request hook (Sandbox.on_request) that raised makes the test fail with its exception.
"""

from __future__ import annotations

from collections.abc import Iterator

import pytest

from .server import Sandbox


@pytest.fixture(scope="session")
def scb_sandbox_server() -> Iterator[Sandbox]:
    with Sandbox() as sandbox:
        yield sandbox


@pytest.fixture
def scb_sandbox(scb_sandbox_server: Sandbox, monkeypatch: pytest.MonkeyPatch) -> Iterator[Sandbox]:
    scb_sandbox_server.reset()
    for name, value in scb_sandbox_server.environ().items():
        monkeypatch.setenv(name, value)
    # A test that shortens the token lifetime must not shorten it for the tests after it.
    token_lifetime = scb_sandbox_server.token_lifetime
    yield scb_sandbox_server
    scb_sandbox_server.token_lifetime = token_lifetime
    scb_sandbox_server.raise_hook_errors()
