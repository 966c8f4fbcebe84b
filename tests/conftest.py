"""Shared fixtures.

Database:
  pg_server   one throwaway PostgreSQL cluster for the whole session, ERP tables created.
  pg          that cluster with the ERP tables emptied (ids restart at 1) and the libpq
              environment pointing at it: PGHOST/PGPORT/PGDATABASE/PGUSER set, every
              other PG* variable removed, so a bare connect reaches it as superuser.
  no_pg_env   every PG* variable removed.

ERP rows:
  erp_db      an Erp for tests that only need the database; the bank sandbox is not started.
  erp         the same Erp, plus each config it adds is registered with the bank sandbox
              (scb_sandbox), so the extension can fetch tokens with those credentials.
  shop        a Shop (bank_helpers) on erp: one configuration and bank account for invoice QRs; once
              with the sandbox's inquiry answering an empty list when nothing was paid, once 404 / 1104.
  notifications  a Notifications (bank_helpers) listening on pg for the module's payment notifications.

Behind a connection pooler:
  bouncer     a PgBouncer (transaction and session pooling) in front of a second throwaway
              cluster whose time zone is Asia/Bangkok, ERP tables created; for the whole session.
  bouncer_erp (bouncer, pool_mode) -> an Erp on that cluster, its tables emptied, the libpq
              environment pointing through the bouncer in that pool mode, sandbox registered.

Clock:
  far_time_zone  the process runs in UTC+14, then in UTC-12 (TZ set, time.tzset()).

Processes:
  run_python  run_python(code, env=None) runs a Python snippet in a fresh interpreter;
              env entries overlay the current environment and a None value removes one.

SCB_DEBUG=1 is set for the whole run, so every test exercises the debug log lines
and can check that no secret reaches them. Tests of the switch itself use run_python.
"""

import os

os.environ["SCB_DEBUG"] = "1"

import subprocess
import sys
import time
from collections.abc import Callable, Iterator, Mapping
from typing import Any

import pytest
from psycopg.rows import dict_row

from bank_helpers import Notifications, Shop
from halvenor_scb_lib.devdb import ThrowawayPgBouncer, ThrowawayPostgres, insert_returning_id

pytest_plugins = ["halvenor_scb_lib.sandbox.pytest_plugin"]

SUBPROCESS_TIMEOUT = 60


def _drop_pg_env(monkeypatch: pytest.MonkeyPatch) -> None:
    for name in [name for name in os.environ if name.startswith("PG")]:
        monkeypatch.delenv(name)


@pytest.fixture(scope="session")
def pg_server() -> Iterator[ThrowawayPostgres]:
    with ThrowawayPostgres() as server:
        server.create_erp_schema()
        yield server


@pytest.fixture
def pg(pg_server: ThrowawayPostgres, monkeypatch: pytest.MonkeyPatch) -> ThrowawayPostgres:
    pg_server.truncate_erp_tables()
    _drop_pg_env(monkeypatch)
    for name, value in pg_server.environ().items():
        monkeypatch.setenv(name, value)
    return pg_server


@pytest.fixture(params=["Etc/GMT-14", "Etc/GMT+12"])
def far_time_zone(request: pytest.FixtureRequest) -> Iterator[None]:
    # Between them these zones disagree with UTC, and with Thailand, about the date at every hour of the day.
    before = os.environ.get("TZ")
    os.environ["TZ"] = request.param
    time.tzset()
    assert time.localtime().tm_gmtoff in (14 * 3600, -12 * 3600), "time zone data missing"
    yield
    if before is None:
        del os.environ["TZ"]
    else:
        os.environ["TZ"] = before
    time.tzset()


@pytest.fixture
def no_pg_env(monkeypatch: pytest.MonkeyPatch) -> None:
    _drop_pg_env(monkeypatch)


class Erp:
    """Inserts and reads ERP rows the way the ERP itself would."""

    def __init__(self, pg: ThrowawayPostgres) -> None:
        self.pg = pg
        self.sandbox: Any = None

    def add_config(
        self, api_key: str = "KEY1", api_secret: str = "SECRET1", environment: str = "sandbox",
        name: str = "Main", application_id: str | None = "APP1", active: bool = True,
        access_token: str | None = None, expires_in_seconds: float | None = None,
    ) -> int:
        """A scb_api_config row; expires_in_seconds=None leaves token_expires_at NULL."""
        # token_expires_at is naive UTC, so compute it in the database's UTC, not the session zone.
        (config_id,) = self.pg.execute(
            "INSERT INTO scb_api_config"
            " (name, api_key, api_secret, environment, application_id, active, access_token, token_expires_at)"
            " VALUES (%s, %s, %s, %s, %s, %s, %s,"
            "         (now() AT TIME ZONE 'UTC') + %s::float8 * interval '1 second')"
            " RETURNING id",
            (name, api_key, api_secret, environment, application_id, active, access_token, expires_in_seconds),
        )[0]
        if self.sandbox is not None:
            self.sandbox.register_application(api_key, api_secret)
        return int(config_id)

    def add_bank_account(
        self, config_id: int | None, biller_id: str | None = "123456789012345", company_id: int = 1,
        use_scb_qr: bool = True, acc_number: str = "1234567890",
    ) -> int:
        return self._insert("res_partner_bank", {
            "acc_number": acc_number, "company_id": company_id, "scb_biller_id": biller_id,
            "scb_api_config_id": config_id, "use_scb_qr": use_scb_qr,
        })

    def add_intent(self, **cols: Any) -> int:
        """A scb_payment_intent row; company_id defaults to 1, invoice_id is required."""
        return self._insert("scb_payment_intent", {"company_id": 1, **cols})

    def token_row(self, config_id: int) -> tuple[str | None, float | None]:
        """The cached token and how many seconds it has left by the database clock (None if no expiry)."""
        rows = self.pg.execute(
            "SELECT access_token, extract(epoch FROM token_expires_at - (now() AT TIME ZONE 'UTC'))"
            " FROM scb_api_config WHERE id = %s",
            (config_id,),
        )
        if not rows:
            raise LookupError(f"no scb_api_config row {config_id}")
        token, seconds_left = rows[0]
        return token, None if seconds_left is None else float(seconds_left)

    def intents(self, invoice_id: int | None = None) -> list[dict[str, Any]]:
        with self.pg.connect(row_factory=dict_row) as conn:
            return conn.execute(
                "SELECT * FROM scb_payment_intent WHERE %(invoice)s::integer IS NULL OR invoice_id = %(invoice)s"
                " ORDER BY id",
                {"invoice": invoice_id},
            ).fetchall()

    def _insert(self, table: str, values: dict[str, Any]) -> int:
        with self.pg.connect() as conn:
            return insert_returning_id(conn, table, values)


@pytest.fixture
def erp_db(pg: ThrowawayPostgres) -> Erp:
    return Erp(pg)


@pytest.fixture
def erp(erp_db: Erp, scb_sandbox: Any) -> Erp:
    erp_db.sandbox = scb_sandbox
    return erp_db


@pytest.fixture(params=["empty", "not_found"], ids=["unpaid-empty", "unpaid-404"])
def shop(erp: Erp, request: pytest.FixtureRequest) -> Shop:
    erp.sandbox.configure(unpaid_inquiry=request.param)
    return Shop(erp)


@pytest.fixture
def notifications(pg: ThrowawayPostgres) -> Iterator[Notifications]:
    heard = Notifications(pg)
    yield heard
    heard.close()


@pytest.fixture(scope="session")
def bouncer() -> Iterator[ThrowawayPgBouncer]:
    with ThrowawayPostgres(timezone="Asia/Bangkok") as server, ThrowawayPgBouncer(server) as pooler:
        server.create_erp_schema()
        yield pooler


@pytest.fixture
def bouncer_erp(
    bouncer: ThrowawayPgBouncer, scb_sandbox: Any, monkeypatch: pytest.MonkeyPatch
) -> Callable[[str], Erp]:
    def through(pool_mode: str) -> Erp:
        bouncer.server.truncate_erp_tables()
        _drop_pg_env(monkeypatch)
        for name, value in bouncer.environ(pool_mode).items():
            monkeypatch.setenv(name, value)
        erp = Erp(bouncer.server)
        erp.sandbox = scb_sandbox
        return erp
    return through


def _run_python(code: str, env: Mapping[str, str | None] | None = None) -> subprocess.CompletedProcess[str]:
    merged = dict(os.environ)
    for name, value in (env or {}).items():
        if value is None:
            merged.pop(name, None)
        else:
            merged[name] = value
    return subprocess.run(
        [sys.executable, "-c", code], env=merged, capture_output=True, text=True, timeout=SUBPROCESS_TIMEOUT,
        check=False,
    )


@pytest.fixture
def run_python() -> Callable[..., subprocess.CompletedProcess[str]]:
    return _run_python
