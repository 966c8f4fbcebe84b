"""Opening and closing the ERP database connection, and the session it runs in."""

import os
import uuid

import pytest

from cabi import lib
from test_token_cache import statements_of
from halvenor_scb_lib import _binding

FAILED = "Database connection failed: "


def backends(pg_server):
    """(database, user, application) of every client session but the asking one."""
    return pg_server.execute(
        "SELECT datname, usename, application_name FROM pg_stat_activity"
        " WHERE backend_type = 'client backend' AND pid <> pg_backend_pid()"
    )


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def role(pg):
    """A password-only role over TCP whose password holds a blank, a quote and a backslash."""
    name, password = f"clerk_{uuid.uuid4().hex[:8]}", "pa ss'wo\\rd \"x"
    pg.create_role(name, password)
    return name, password


def use_role(monkeypatch, role, password=None):
    monkeypatch.setenv("PGHOST", "127.0.0.1")
    monkeypatch.setenv("PGUSER", role[0])
    monkeypatch.setenv("PGPASSWORD", role[1] if password is None else password)


@pytest.mark.parametrize("given", [None, b""])
def test_without_pg_variables_the_halvenor_database_is_tried(
    pg_server, no_pg_env, monkeypatch, tmp_path, capfd, given
):
    # libpq fills in what the module leaves unset from a service file, but an
    # explicit dbname beats the service's, so the session lands in "halvenor".
    service = tmp_path / "pg_service.conf"
    service.write_text(
        f"[erp]\nhost={pg_server.host}\nport={pg_server.port}\nuser=postgres\ndbname={pg_server.dbname}\n"
    )
    monkeypatch.setenv("PGSERVICEFILE", str(service))
    monkeypatch.setenv("PGSERVICE", "erp")
    handle = lib.scb_db_connect(given)
    assert handle is None
    assert 'database "halvenor" does not exist' in capfd.readouterr().err
    pg_server.execute("CREATE DATABASE halvenor")
    try:
        handle = lib.scb_db_connect(given)
        assert handle
        assert ("halvenor", "postgres", "") in backends(pg_server)
        lib.scb_db_close(handle)
    finally:
        pg_server.execute("DROP DATABASE halvenor WITH (FORCE)")
    err = capfd.readouterr().err
    assert err.index("Connecting to PostgreSQL") < err.index("Database connection successful")
    assert err.count("Database connection closed") == 1


def test_password_with_blank_and_quotes_works_over_tcp(erp, pg, role, monkeypatch):
    use_role(monkeypatch, role)
    handle = lib.scb_db_connect(None)
    assert handle
    assert (pg.dbname, role[0], "") in backends(pg)
    lib.scb_db_close(handle)
    bank_id = erp.add_bank_account(erp.add_config())
    result = _binding.scb_api_create_qr_by_bank(str(bank_id), 10.0, "INV1", "C1")
    assert result["status"]["code"] == 1000
    assert pg.wait_for_client_connections(0) == 0


@pytest.mark.parametrize("password", ["x dbname=postgres", "x' dbname='postgres", "x\\' dbname=postgres"])
def test_environment_value_cannot_add_a_keyword(pg, monkeypatch, password):
    monkeypatch.setenv("PGPASSWORD", password)  # ignored by the trusted socket, but parsed
    handle = lib.scb_db_connect(None)
    assert handle
    try:
        assert {row[0] for row in backends(pg)} == {pg.dbname}
    finally:
        lib.scb_db_close(handle)


def test_options_from_the_environment_are_kept(pg, monkeypatch):
    monkeypatch.setenv("PGOPTIONS", "-c application_name=erp_worker")
    handle = lib.scb_db_connect(None)
    assert handle
    try:
        assert (pg.dbname, "postgres", "erp_worker") in backends(pg)
    finally:
        lib.scb_db_close(handle)


def assembled_length(pg, password):
    pieces = {"host": pg.host, "port": str(pg.port), "dbname": pg.dbname, "user": pg.user, "password": password}
    return sum(len(f"{key}='{value}' ") for key, value in pieces.items())


@pytest.mark.parametrize("length, accepted", [(1023, True), (1024, False), (4000, False)])
def test_connection_string_longer_than_1023_characters_is_refused(pg, monkeypatch, capfd, length, accepted):
    password = "p" * (length - assembled_length(pg, ""))
    assert assembled_length(pg, password) == length
    monkeypatch.setenv("PGPASSWORD", password)
    handle = lib.scb_db_connect(None)
    lib.scb_db_close(handle)
    assert bool(handle) is accepted
    err = capfd.readouterr().err
    assert err.count(FAILED) == (0 if accepted else 1)
    assert password not in err
    if not accepted:
        result = _binding.scb_api_refresh_token("1")
        assert result["status"] == {
            "code": 9002, "description": "Failed to connect to database. Check credentials and network connectivity."
        }
        assert "ERROR: Failed to connect to PostgreSQL - check" in capfd.readouterr().err


@pytest.mark.parametrize("cause", ["unknown database", "wrong password", "nothing listening"])
def test_failed_connection_returns_null_with_one_line_and_nothing_open(pg, role, monkeypatch, capfd, cause):
    if cause == "unknown database":
        monkeypatch.setenv("PGDATABASE", "no_such_erp")
    elif cause == "wrong password":
        use_role(monkeypatch, role, password=role[1] + "x")
    else:
        monkeypatch.setenv("PGHOST", "127.0.0.1")
        monkeypatch.setenv("PGPORT", "9")
    capfd.readouterr()
    before = open_fds()
    assert lib.scb_db_connect(None) is None
    assert open_fds() == before
    err = capfd.readouterr().err
    assert err.count(FAILED) == 1 and f"ERROR: {FAILED}" in err
    assert role[1] not in err
    assert pg.wait_for_client_connections(0) == 0


def test_close_logs_once_and_close_of_null_is_silent(pg, capfd):
    handle = lib.scb_db_connect(None)
    assert handle and pg.wait_for_client_connections(1) == 1
    capfd.readouterr()
    lib.scb_db_close(handle)
    assert capfd.readouterr().err.count("INFO: Database connection closed") == 1
    assert pg.wait_for_client_connections(0) == 0
    lib.scb_db_close(None)
    assert capfd.readouterr().err == ""


@pytest.fixture
def server_zone(pg_server):
    (original,) = pg_server.execute("SHOW TimeZone")[0]
    yield pg_server.set_timezone
    pg_server.set_timezone(original)


@pytest.mark.parametrize(
    "source, zone",
    [("server", "Asia/Bangkok"), ("server", "America/New_York"), ("PGOPTIONS", "Asia/Bangkok"),
     ("PGTZ", "Asia/Bangkok")],
)
@pytest.mark.parametrize("seconds_left, reused", [(1000, True), (-60, False)])
def test_token_expiry_holds_whatever_the_session_time_zone(
    erp, pg, server_zone, monkeypatch, source, zone, seconds_left, reused
):
    config_id = erp.add_config()
    bank_id = erp.add_bank_account(config_id)
    token = _binding.scb_api_refresh_token(str(config_id))["data"]["accessToken"]
    pg.execute(
        "UPDATE scb_api_config SET access_token = %s,"
        " token_expires_at = (now() AT TIME ZONE 'UTC') + %s::float8 * interval '1 second' WHERE id = %s",
        (token, seconds_left, config_id),
    )
    if source == "server":
        server_zone(zone)
    elif source == "PGOPTIONS":
        monkeypatch.setenv("PGOPTIONS", f"-c TimeZone={zone}")
    else:
        monkeypatch.setenv("PGTZ", zone)
    result = _binding.scb_api_create_qr_by_bank(str(bank_id), 10.0, "INV1", "C1")
    assert result["status"]["code"] == 1000
    assert len(erp.sandbox.requests_to("token")) == (1 if reused else 2)
    stored, left = erp.token_row(config_id)
    if reused:
        assert stored == token and abs(left - seconds_left) < 5
    else:
        assert stored == erp.sandbox.issued_tokens[-1] != token and abs(left - 1800) < 5
    assert pg.wait_for_client_connections(0) == 0


UTC_NAMES = ["UTC", "Etc/UTC", "Etc/UCT", "Etc/Universal", "Etc/Zulu", "UCT", "Universal", "Zulu"]


@pytest.mark.parametrize("zone, set_up", [(name, False) for name in UTC_NAMES] + [
    ("GMT", True), ("Europe/London", True), ("Asia/Bangkok", True), ("utc", False)])
def test_only_a_server_zone_other_than_utc_costs_a_statement_per_session(pg, server_zone, monkeypatch, zone, set_up):
    if not pg.execute("SELECT 1 FROM pg_timezone_names WHERE lower(name) = lower(%s)", (zone,)):
        pytest.skip(f"the server's zone data has no {zone}")
    server_zone(zone)

    sent = statements_of(lambda: lib.scb_db_release(lib.scb_db_acquire()), pg, monkeypatch, session_setup=True)

    assert sent == (["SET TimeZone TO 'UTC'"] if set_up else [])
