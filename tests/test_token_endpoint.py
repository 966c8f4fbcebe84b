"""Asking the bank for an access token for a stored configuration."""

import json
import re

import pytest

from bank_helpers import envelope
from halvenor_scb_lib import _binding

PATHS = {"production": "/partners/v1/oauth/token", "sandbox": "/partners/sandbox/v1/oauth/token"}
TRANSPORT_HEADERS = {"host", "accept", "content-length"}
UUID4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
CONNECT_FAILED = "Failed to connect to database. Check credentials and network connectivity."


def test_token_request_has_three_lines_in_order_and_the_escaped_body(erp, pg, capfd):
    key = 'app "key" \\ 1'
    secret = 'TOPSECRET"tail\\end\n ก' + "s" * 1200  # far beyond any fixed body buffer
    config_id = erp.add_config(api_key=key, api_secret=secret)
    first = _binding.scb_api_refresh_token(str(config_id))
    second = _binding.scb_api_refresh_token(str(config_id))
    issued = erp.sandbox.issued_tokens
    assert [first["data"]["accessToken"], second["data"]["accessToken"]] == issued
    requests = erp.sandbox.requests_to("token")
    body = json.dumps({"applicationKey": key, "applicationSecret": secret}, separators=(",", ":"), ensure_ascii=False)
    for request in requests:
        assert (request.method, request.path) == ("POST", PATHS["sandbox"])
        lines = [(name, value) for name, value in request.headers if name.lower() not in TRANSPORT_HEADERS]
        assert [name for name, _ in lines] == ["Content-Type", "resourceOwnerId", "requestUId"]
        assert lines[0][1] == "application/json" and lines[1][1] == key
        assert UUID4.fullmatch(lines[2][1])
        assert request.body == body.encode()
    assert requests[0].header("requestUId") != requests[1].header("requestUId")
    err = capfd.readouterr().err
    masked = json.dumps({"applicationKey": key, "applicationSecret": "***"}, separators=(",", ":"))
    url = f"https://{erp.sandbox.address}{PATHS['sandbox']}"
    assert f"DEBUG: [SCB API] Token refresh - URL: {url}, Body: {masked}\n" in err
    assert f"INFO: Refreshing token for config ID={config_id}, Environment=sandbox" in err
    assert "TOPSECRET" not in err and "tail" not in err
    assert not [token for token in issued if token in err]
    assert pg.wait_for_client_connections(0) == 0


@pytest.mark.parametrize(
    "environment, endpoint",
    [("production", "production"), ("Production", "sandbox"), ("sandbox", "sandbox"), ("test", "sandbox"),
     ("", "sandbox"), (None, "sandbox")],
)
def test_only_the_environment_production_uses_the_production_host(erp, monkeypatch, environment, endpoint):
    # The other host points at nothing, so a request there would fail.
    other = "SCB_SANDBOX_HOST" if endpoint == "production" else "SCB_PRODUCTION_HOST"
    monkeypatch.setenv(other, "127.0.0.1:9")
    result = _binding.scb_api_refresh_token(str(erp.add_config(environment=environment)))
    assert result["status"]["code"] == 1000
    assert [request.path for request in erp.sandbox.requests_to("token")] == [PATHS[endpoint]]


@pytest.mark.parametrize(
    "removed, set_empty, code",
    [(("PGHOST", "PGDATABASE"), (), 9001), (("PGHOST",), (), 9002), (("PGDATABASE",), ("PGHOST",), 9002)],
)
def test_database_environment_check_needs_only_pghost_or_pgdatabase(pg, monkeypatch, capfd, removed, set_empty, code):
    monkeypatch.setenv("PGPORT", "9")  # whatever the default host is, nothing listens there
    for name in removed:
        monkeypatch.delenv(name)
    for name in set_empty:
        monkeypatch.setenv(name, "")
    result = _binding.scb_api_refresh_token("1")
    err = capfd.readouterr().err
    if code == 9001:
        assert result == envelope(
            9001, "Database environment variables not configured. Set PGHOST, PGDATABASE, PGUSER, PGPASSWORD."
        )
        assert "ERROR: PostgreSQL environment variables not set (PGHOST, PGDATABASE, etc.)" in err
        assert "Connecting to PostgreSQL" not in err
    else:
        assert result == envelope(9002, CONNECT_FAILED)
        assert "Connecting to PostgreSQL" in err


@pytest.mark.parametrize("case", ["no such row", "inactive", "not a number"])
def test_configuration_that_cannot_be_read_gives_9002(erp, pg, capfd, case):
    inactive_id = erp.add_config(active=False)
    config_id = {"no such row": "999", "inactive": str(inactive_id), "not a number": "abc"}[case]
    result = _binding.scb_api_refresh_token(config_id)
    assert result["status"]["code"] == 9002 and result["data"] is None
    description = result["status"]["description"]
    if case == "not a number":
        assert description.startswith("Config query failed: ") and '"abc"' in description
    else:
        assert description == f"No active SCB config found with ID: {config_id}"
    logged = description.replace("\n", "\\n")  # a log record stays on one line
    assert f"ERROR: {logged}\n" in capfd.readouterr().err
    assert erp.sandbox.requests_to("token") == []
    assert pg.wait_for_client_connections(0) == 0


@pytest.mark.parametrize(
    "status, body",
    [
        (401, {"status": {"code": 9500, "description": "Invalid applicationKey or applicationSecret"}, "data": None}),
        (503, {"status": {"code": 9999, "description": "Bank maintenance window"}, "accessToken": "leaked"}),
    ],
)
def test_other_status_than_200_gives_9302_without_the_bank_body(erp, pg, capfd, status, body):
    config_id = erp.add_config()
    erp.sandbox.script("token", status=status, body=body)
    result = _binding.scb_api_refresh_token(str(config_id))
    message = f"Token refresh failed with HTTP status {status}. Check API credentials."
    assert result == envelope(9302, message)
    assert f"ERROR: {message}" in capfd.readouterr().err
    assert pg.wait_for_client_connections(0) == 0


@pytest.mark.parametrize(
    "answer, expected",
    [
        ("drop", envelope(9101, "Network error: Failed to connect to SCB token endpoint.")),
        ({"unexpected": [1, "two", None]}, {"unexpected": [1, "two", None]}),
    ],
)
def test_no_answer_gives_9101_and_any_200_body_comes_back_unchanged(erp, pg, answer, expected):
    config_id = erp.add_config()
    if answer == "drop":
        erp.sandbox.fault("token", drop=True)
    else:
        erp.sandbox.script("token", body=answer)
    assert _binding.scb_api_refresh_token(str(config_id)) == expected
    assert pg.wait_for_client_connections(0) == 0
