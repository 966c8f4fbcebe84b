"""pytest fixtures for code that talks to the bank.

Enable with ``pytest_plugins = ["halvenor_scb_lib.sandbox.pytest_plugin"]`` and take the
``scb_sandbox`` fixture: one server for the whole session, reset before every test, with
SCB_SANDBOX_HOST, SCB_PRODUCTION_HOST and CURL_CA_BUNDLE pointing at it during the test.
Token lifetime and options (Sandbox.configure) a test changes are put back after it.
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
    # A test that shortens the token lifetime or changes an option must not do so for the tests after it.
    token_lifetime, options = scb_sandbox_server.token_lifetime, scb_sandbox_server.options
    yield scb_sandbox_server
    scb_sandbox_server.token_lifetime, scb_sandbox_server.options = token_lifetime, options
    scb_sandbox_server.raise_hook_errors()
