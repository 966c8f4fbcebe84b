"""A disposable PostgreSQL cluster holding the ERP tables, for tests and the demo.

The native extension only ever reads and writes tables the ERP owns, so this
module plays the ERP's part: it creates those tables with the column types an
ERP would use (naive ``timestamp``, ``numeric`` amounts) and lets callers poke
rows, roles and server settings the way a real deployment might.
"""

from __future__ import annotations

import dataclasses
import functools
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import weakref
from pathlib import Path
from typing import Any, TypeVar, Union

import psycopg
from psycopg import sql

__all__ = [
    "ERP_SCHEMA_SQL", "ERP_TABLES", "PostgresUnavailable", "ThrowawayPgBouncer", "ThrowawayPostgres", "find_bindir",
    "insert_intent_history", "insert_returning_id",
]

ERP_SCHEMA_SQL = """
CREATE TABLE IF NOT EXISTS scb_api_config (
    id serial PRIMARY KEY,
    name varchar,
    api_key varchar,
    api_secret varchar,
    environment varchar,
    application_id varchar,
    active boolean NOT NULL DEFAULT true,
    access_token varchar,
    token_expires_at timestamp without time zone
);
CREATE TABLE IF NOT EXISTS res_partner_bank (
    id serial PRIMARY KEY,
    acc_number varchar,
    company_id integer,
    scb_biller_id varchar,
    scb_api_config_id integer REFERENCES scb_api_config(id),
    use_scb_qr boolean DEFAULT false
);
CREATE TABLE IF NOT EXISTS scb_payment_intent (
    id serial PRIMARY KEY,
    invoice_id integer NOT NULL,
    company_id integer NOT NULL,
    scb_api_config_id integer,
    reference varchar,
    amount numeric,
    channel varchar,
    qr_payload text,
    qr_image_base64 text,
    transaction_id varchar,
    status varchar,
    created_at timestamp,
    create_date timestamp,
    write_date timestamp
);
CREATE INDEX IF NOT EXISTS res_partner_bank_scb_biller_id_idx ON res_partner_bank (scb_biller_id);
CREATE INDEX IF NOT EXISTS res_partner_bank_scb_api_config_id_idx ON res_partner_bank (scb_api_config_id);
CREATE INDEX IF NOT EXISTS scb_payment_intent_invoice_company_idx ON scb_payment_intent (invoice_id, company_id);
CREATE INDEX IF NOT EXISTS scb_payment_intent_reference_idx ON scb_payment_intent (reference);
CREATE INDEX IF NOT EXISTS scb_payment_intent_pending_idx ON scb_payment_intent (scb_api_config_id, created_at)
    WHERE status = 'pending';
"""
"""The ERP tables as the module reads and writes them, with the indexes its statements need
(the README's table section lists them, and ``halvenor-scb check-database`` checks them)."""

ERP_TABLES = ("scb_api_config", "res_partner_bank", "scb_payment_intent")
_ERP_TABLE_LIST = sql.SQL(", ").join(map(sql.Identifier, ERP_TABLES))

Statement = Union[str, sql.SQL, sql.Composed]

SUPERUSER = "postgres"
START_TIMEOUT = 30.0
RELOAD_TIMEOUT = 10.0
STOP_TIMEOUT = 15.0
# TRUNCATE queues behind any transaction a test left open; fail instead of hanging the run.
TRUNCATE_LOCK_TIMEOUT = "10s"


class PostgresUnavailable(RuntimeError):
    """The PostgreSQL server binaries or the account to run them under are missing."""


def find_bindir() -> Path:
    """Directory holding initdb and postgres, whichever major version is installed."""
    configured = _pg_config_bindir()
    if configured is not None and (configured / "initdb").is_file():
        return configured
    versioned = [p.parent for p in Path("/usr/lib/postgresql").glob("*/bin/initdb") if _version(p.parent)]
    if versioned:
        return max(versioned, key=_version)
    initdb = shutil.which("initdb")
    if initdb is not None:
        return Path(initdb).resolve().parent
    raise PostgresUnavailable(
        "no PostgreSQL server binaries found (tried pg_config --bindir, "
        "/usr/lib/postgresql/*/bin and PATH); install the postgresql package"
    )


def _pg_config_bindir() -> Path | None:
    pg_config = shutil.which("pg_config")
    if pg_config is None:
        return None
    out = subprocess.run([pg_config, "--bindir"], capture_output=True, text=True, check=False)
    return Path(out.stdout.strip()) if out.returncode == 0 and out.stdout.strip() else None


def _version(bindir: Path) -> tuple[int, ...]:
    """Numeric version from /usr/lib/postgresql/<version>/bin, () if not numeric."""
    version = bindir.parent.name
    return tuple(int(part) for part in version.split(".")) if re.fullmatch(r"\d+(\.\d+)*", version) else ()


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


def _conf_literal(value: str) -> str:
    return "'" + value.replace("'", "''") + "'"


# libpq fills every parameter a caller leaves out from PG* variables, which tests set on
# purpose to exercise the extension; pin the ones that would bend or break a connection
# to the throwaway cluster. An empty value counts as given, so it masks the variable.
_NEUTRAL_LIBPQ_PARAMS = {
    "hostaddr": "",
    "options": "",
    "client_encoding": "UTF8",
    "sslmode": "disable",
    "gssencmode": "disable",
    "channel_binding": "disable",
    "require_auth": "",
    "target_session_attrs": "any",
    "load_balance_hosts": "disable",
    "sslnegotiation": "postgres",
}


@functools.cache
def _pinned_libpq_params() -> dict[str, str]:
    """The neutral parameters this libpq knows; older ones reject unknown keywords."""
    known = {option.keyword.decode() for option in psycopg.pq.Conninfo.get_defaults()}
    return {name: value for name, value in _NEUTRAL_LIBPQ_PARAMS.items() if name in known}


def _server_account() -> pwd.struct_passwd | None:
    """The account the server runs as, or None to run it as ourselves.

    PostgreSQL refuses to run as root, so under root everything is handed to
    the conventional ``postgres`` system user.
    """
    if os.geteuid() != 0:
        return None
    try:
        return pwd.getpwnam(SUPERUSER)
    except KeyError:
        raise PostgresUnavailable(
            "running as root, and PostgreSQL refuses to run as root, but there is no "
            "'postgres' system user to run it as; create one (useradd --system postgres) "
            "or run as an unprivileged user"
        ) from None


def _launcher(account: pwd.struct_passwd | None) -> list[str]:
    """Command prefix that drops to the server account and ties the server's life to ours.

    The parent-death signal takes the server down even if this process is
    SIGKILLed, where atexit handlers never run. It fires when the *thread*
    that started the server exits, so start it from a long-lived thread.
    """
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        if account is not None:
            raise PostgresUnavailable("running as root needs setpriv (util-linux) to drop to 'postgres'")
        return []
    drop = [f"--reuid={account.pw_uid}", f"--regid={account.pw_gid}", "--init-groups"] if account else []
    return [setpriv, *drop, "--pdeathsig=QUIT", "--"]


def _server_env() -> dict[str, str]:
    """Our environment minus libpq variables, which initdb and postgres would otherwise honour,
    and minus LD_PRELOAD: a sanitizer runtime preloaded for the extension has no business in
    the server, which is not built for it.
    """
    return {k: v for k, v in os.environ.items() if not k.startswith("PG") and k != "LD_PRELOAD"}


def insert_returning_id(conn: psycopg.Connection[Any], table: str, values: dict[str, Any]) -> int:
    """INSERT one row of column -> value pairs and return its id."""
    statement = sql.SQL("INSERT INTO {} ({}) VALUES ({}) RETURNING id").format(
        sql.Identifier(table),
        sql.SQL(", ").join(map(sql.Identifier, values)),
        sql.SQL(", ").join(sql.Placeholder() * len(values)),
    )
    row = conn.execute(statement, list(values.values())).fetchone()
    if row is None:
        raise RuntimeError(f"INSERT INTO {table} returned no id")
    return int(row[0])


# Row n of a history belongs to company (and configuration) n mod companies; its status goes by
# blocks of 20 rows, so that every company has its share of each: of 20 blocks one pending
# (unless settled by its age), two dead, the rest confirmed. Creation times are spread over the
# days by a fixed stride, so that neighbouring invoices (and ids) were not made on neighbouring days.
_HISTORY_SQL = """
INSERT INTO scb_payment_intent (invoice_id, company_id, scb_api_config_id, reference, amount, channel, qr_payload,
                                qr_image_base64, transaction_id, status, created_at, create_date, write_date)
SELECT %(first)s + n, n %% %(companies)s + 1, n %% %(companies)s + 1, 'H' || (%(first)s + n), 100 + n %% 900,
       'invoice', %(payload)s, '', CASE WHEN block IN (0, 10, 11) THEN '' ELSE 'T' || n END,
       CASE WHEN block = 10 THEN 'expired' WHEN block = 11 THEN 'cancelled'
            WHEN block = 0 AND age > %(settled_days)s * interval '1 day' THEN 'pending'
            ELSE 'confirmed' END,
       now_utc - age, now_utc - age, now_utc - age
FROM (SELECT n, n / 20 %% 20 AS block, now() AT TIME ZONE 'UTC' AS now_utc,
             ((n::bigint * 7919) %% %(count)s) * %(days)s * interval '1 day' / %(count)s AS age
      FROM generate_series(0, %(count)s - 1) AS n) AS rows
"""
# What a bill-payment QR's payload looks like; the images (several KB each, kept in TOAST) are left out.
_HISTORY_PAYLOAD = (
    "00020101021230830016A00000067701011201150105560123456780208H00000000318SCB5303764540625000"
    "5802TH5910SHOP BILLR6007BANGKOK6304ABCD"
)


def insert_intent_history(conn: psycopg.Connection[Any], count: int, *, first_invoice: int = 10_000_000,
                          companies: int = 20, days: int = 365, settled_days: int = 3) -> None:
    """``count`` intents of a busy merchant's past, made with one statement (invoice ids from
    ``first_invoice``, references ``H<invoice>``): spread over the last ``days`` days and ``companies``
    companies, each company with its own configuration id (1 to ``companies``); 85 % confirmed, 10 %
    dead, 5 % pending, but none pending within the last ``settled_days`` days, so that the recent
    work of a configuration is whatever the caller adds."""
    conn.execute(_HISTORY_SQL, {"first": first_invoice, "companies": companies, "count": count, "days": days,
                                "settled_days": settled_days, "payload": _HISTORY_PAYLOAD})


@dataclasses.dataclass
class _Cluster:
    """What has to be torn down; kept apart from ThrowawayPostgres so the finalizer holds no reference to it."""

    root: Path
    server: subprocess.Popen[bytes] | None = None


def _discard(cluster: _Cluster) -> None:
    server = cluster.server
    if server is not None and server.poll() is None:
        # Immediate shutdown: the data is about to be deleted, so skip the checkpoint.
        server.send_signal(signal.SIGQUIT)
        try:
            server.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
    shutil.rmtree(cluster.root, ignore_errors=True)


_Server = TypeVar("_Server", bound="_Throwaway")


class _Throwaway:
    """A server process of ours living in a temporary directory, gone after stop()."""

    _what = "the server"
    _directory_prefix = "scb-"

    def __init__(self) -> None:
        self._cluster: _Cluster | None = None
        self._finalizer: weakref.finalize[[_Cluster], _Throwaway] | None = None

    def __enter__(self: _Server) -> _Server:
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def start(self) -> None:
        if self._cluster is not None:
            raise RuntimeError(f"{self._what} is already started")
        account = _server_account()
        self._cluster = _Cluster(Path(tempfile.mkdtemp(prefix=self._directory_prefix)))
        self._finalizer = weakref.finalize(self, _discard, self._cluster)
        try:
            self._boot(account)
        except BaseException:
            self.stop()
            raise

    def stop(self) -> None:
        if self._finalizer is not None:
            self._finalizer()
        self._cluster = None
        self._finalizer = None

    def _boot(self, account: pwd.struct_passwd | None) -> None:
        raise NotImplementedError


class ThrowawayPostgres(_Throwaway):
    """A private PostgreSQL cluster in a temporary directory, gone after stop().

    Local (unix socket) connections are trusted; TCP connections on
    127.0.0.1 need a password, as they would against a real server.
    """

    user = SUPERUSER
    _directory_prefix = "scb-pg-"

    def __init__(self, *, dbname: str = "erp", timezone: str | None = None) -> None:
        super().__init__()
        self.dbname = dbname
        self.timezone = timezone
        self.host = ""
        self.port = 0

    @property
    def root(self) -> Path:
        """The cluster's temporary directory (data, socket and server log live here)."""
        if self._cluster is None:
            raise RuntimeError("the server is not running")
        return self._cluster.root

    @property
    def running(self) -> bool:
        return self._cluster is not None and self._cluster.server is not None and self._cluster.server.poll() is None

    def restart(self) -> None:
        """Shut the server down (fast: sessions are terminated) and start it again on the same data and port."""
        self.shut_down()
        self.start_again()

    def shut_down(self) -> None:
        """Fast shutdown of the server (sessions are terminated); data, socket directory and port stay."""
        cluster = self._cluster
        if cluster is None or cluster.server is None or not self.running:
            raise RuntimeError("the server is not running")
        cluster.server.send_signal(signal.SIGINT)
        cluster.server.wait(timeout=STOP_TIMEOUT)

    def start_again(self) -> None:
        """Start the server after shut_down() on the same data and port."""
        if self._cluster is None or self.running:
            raise RuntimeError("the server was not shut down")
        self._launch(find_bindir(), _server_account())
        self._wait_until_ready()

    def _boot(self, account: pwd.struct_passwd | None) -> None:
        bindir = find_bindir()
        root = self.root
        sockets = root / "socket"
        sockets.mkdir()
        if account is not None:
            for path in (root, sockets):
                os.chown(path, account.pw_uid, account.pw_gid)
        self.host = str(sockets)
        self.port = _free_port()
        self._initdb(bindir, account)
        self._write_settings()
        self._launch(bindir, account)
        self._wait_until_ready()
        if self.dbname != SUPERUSER:
            with self.connect(dbname=SUPERUSER) as conn:
                conn.execute(sql.SQL("CREATE DATABASE {}").format(sql.Identifier(self.dbname)))

    @property
    def _datadir(self) -> Path:
        return self.root / "data"

    @property
    def _logfile(self) -> Path:
        return self.root / "server.log"

    def _initdb(self, bindir: Path, account: pwd.struct_passwd | None) -> None:
        command = [
            *_launcher(account), str(bindir / "initdb"),
            "-D", str(self._datadir), "-U", SUPERUSER, "-E", "UTF8", "--locale=C",
            "--auth-local=trust", "--auth-host=scram-sha-256", "--no-sync",
        ]
        done = subprocess.run(
            command, cwd=self.root, env=_server_env(), capture_output=True, text=True, check=False
        )
        if done.returncode != 0:
            raise PostgresUnavailable(f"initdb failed ({done.returncode}):\n{done.stdout}{done.stderr}")

    def _write_settings(self) -> None:
        # Written to postgresql.conf rather than passed as -c options, because
        # command-line settings would outrank ALTER SYSTEM and defeat set_timezone().
        settings = {
            "listen_addresses": _conf_literal("127.0.0.1"),
            "port": str(self.port),
            "unix_socket_directories": _conf_literal(self.host),
            "max_connections": "100",
            "fsync": "off",
            "full_page_writes": "off",
            "synchronous_commit": "off",
        }
        if self.timezone is not None:
            settings["timezone"] = _conf_literal(self.timezone)
        with open(self._datadir / "postgresql.conf", "a", encoding="utf-8") as conf:
            conf.write("\n# throwaway cluster\n")
            conf.writelines(f"{name} = {value}\n" for name, value in settings.items())

    def _launch(self, bindir: Path, account: pwd.struct_passwd | None) -> None:
        assert self._cluster is not None
        with open(self._logfile, "ab") as log:
            self._cluster.server = subprocess.Popen(
                [*_launcher(account), str(bindir / "postgres"), "-D", str(self._datadir)],
                cwd=self.root, env=_server_env(), stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                # Keep a terminal's Ctrl-C away from the server; stop() shuts it down in order.
                start_new_session=True,
            )

    def _wait_until_ready(self) -> None:
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if not self.running:
                raise PostgresUnavailable(f"postgres exited during startup:\n{self.server_log()}")
            try:
                psycopg.connect(**self._superuser_params(dbname=SUPERUSER), connect_timeout=2).close()
                return
            except psycopg.OperationalError:
                if time.monotonic() > deadline:
                    log = self.server_log()
                    raise PostgresUnavailable(f"postgres not ready after {START_TIMEOUT}s:\n{log}") from None
                time.sleep(0.05)

    def server_log(self) -> str:
        try:
            return self._logfile.read_text(encoding="utf-8", errors="replace")
        except FileNotFoundError:
            return ""

    def _superuser_params(self, **overrides: Any) -> dict[str, Any]:
        target = {"host": self.host, "port": self.port, "dbname": self.dbname, "user": self.user}
        return {**_pinned_libpq_params(), **target, **overrides}

    def environ(self) -> dict[str, str]:
        """libpq variables reaching this cluster over its unix socket as superuser."""
        return {"PGHOST": self.host, "PGPORT": str(self.port), "PGDATABASE": self.dbname, "PGUSER": self.user}

    def connect(self, **kw: Any) -> psycopg.Connection[Any]:
        """Autocommit superuser connection over the socket; keyword arguments override.

        PG* variables that shape a connection (PGOPTIONS, PGSSLMODE, PGHOSTADDR, ...)
        are masked; a PGSERVICE naming a service that does not exist still breaks it.
        """
        params = self._superuser_params(autocommit=True)
        params.update(kw)
        return psycopg.connect(**params)

    def execute(self, statement: Statement, params: Any = None) -> list[tuple[Any, ...]]:
        """Run one statement on a fresh autocommit connection; its rows, or [] if it returns none."""
        with self.connect() as conn, conn.execute(statement, params) as cursor:
            return cursor.fetchall() if cursor.description else []

    def create_erp_schema(self) -> None:
        with self.connect() as conn:
            conn.execute(ERP_SCHEMA_SQL)

    def truncate_erp_tables(self) -> None:
        with self.connect(options=f"-c lock_timeout={TRUNCATE_LOCK_TIMEOUT}") as conn:
            conn.execute(sql.SQL("TRUNCATE {} RESTART IDENTITY CASCADE").format(_ERP_TABLE_LIST))

    def set_timezone(self, tz: str) -> None:
        """Change the server's default TimeZone; sessions opened after this returns use it."""
        (loaded_before,) = self.execute("SELECT pg_conf_load_time()")[0]
        self.execute(sql.SQL("ALTER SYSTEM SET timezone = {}").format(sql.Literal(tz)))
        self.execute("SELECT pg_reload_conf()")
        # The reload is asynchronous: wait until new backends carry the re-read configuration.
        deadline = time.monotonic() + RELOAD_TIMEOUT
        while self.execute("SELECT pg_conf_load_time()")[0][0] <= loaded_before:
            if time.monotonic() > deadline:
                raise RuntimeError(f"server did not reload its configuration:\n{self.server_log()}")
            time.sleep(0.02)

    def create_role(self, name: str, password: str) -> None:
        """A LOGIN role, password-authenticated over TCP, that may read and write the ERP tables."""
        role = sql.Identifier(name)
        self.create_erp_schema()
        statements = [
            sql.SQL("CREATE ROLE {} LOGIN PASSWORD {}").format(role, sql.Literal(password)),
            sql.SQL("GRANT CONNECT ON DATABASE {} TO {}").format(sql.Identifier(self.dbname), role),
            sql.SQL("GRANT USAGE ON SCHEMA public TO {}").format(role),
            sql.SQL("GRANT SELECT, INSERT, UPDATE, DELETE ON {} TO {}").format(_ERP_TABLE_LIST, role),
            sql.SQL("GRANT USAGE, SELECT ON ALL SEQUENCES IN SCHEMA public TO {}").format(role),
        ]
        with self.connect() as conn, conn.transaction():
            for statement in statements:
                conn.execute(statement)

    def client_connections(self) -> int:
        """Client backends connected to this database right now, not counting the one asking."""
        rows = self.execute(
            "SELECT count(*) FROM pg_stat_activity"
            " WHERE datname = %s AND backend_type = 'client backend' AND pid <> pg_backend_pid()",
            (self.dbname,),
        )
        return int(rows[0][0])

    def wait_for_client_connections(self, expected: int, timeout: float = 5.0) -> int:
        """Poll client_connections() until it equals expected; returns the last count seen.

        A backend outlives its client's close() by a moment, so a count taken
        right after closing a connection can still include it.
        """
        deadline = time.monotonic() + timeout
        while (count := self.client_connections()) != expected and time.monotonic() < deadline:
            time.sleep(0.02)
        return count

    def seed_demo(
        self, *, api_key: str, api_secret: str, biller_id: str, environment: str = "sandbox",
        application_id: str | None = None,
    ) -> dict[str, int]:
        """One API configuration and one company bank account set up for bill-payment QR codes."""
        company_id = 1
        with self.connect() as conn, conn.transaction():
            config_id = insert_returning_id(conn, "scb_api_config", {
                "name": "Demo", "api_key": api_key, "api_secret": api_secret,
                "environment": environment, "application_id": application_id,
            })
            bank_account_id = insert_returning_id(conn, "res_partner_bank", {
                "acc_number": "1234567890", "company_id": company_id, "scb_biller_id": biller_id,
                "scb_api_config_id": config_id, "use_scb_qr": True,
            })
        return {"config_id": config_id, "bank_account_id": bank_account_id, "company_id": company_id}


class ThrowawayPgBouncer(_Throwaway):
    """A PgBouncer on 127.0.0.1 in front of a ThrowawayPostgres, gone after stop().

    Each pool mode is a database of its own, named ``<dbname>_<mode>``
    (``erp_transaction``, ``erp_session``), so one bouncer serves both. Clients
    are trusted by user name; the bouncer reaches the server over its socket.
    As root it runs as ``postgres``, as the server does: it refuses root too.
    """

    POOL_MODES = ("transaction", "session")
    _what = "the bouncer"
    _directory_prefix = "scb-pgbouncer-"

    def __init__(self, server: ThrowawayPostgres) -> None:
        super().__init__()
        self.server = server
        self.port = 0

    def dbname(self, pool_mode: str) -> str:
        if pool_mode not in self.POOL_MODES:
            raise ValueError(f"pool mode must be one of {self.POOL_MODES}, not {pool_mode!r}")
        return f"{self.server.dbname}_{pool_mode}"

    def environ(self, pool_mode: str) -> dict[str, str]:
        """libpq variables reaching the server through the bouncer, over TCP, in the given pool mode."""
        return {"PGHOST": "127.0.0.1", "PGPORT": str(self.port), "PGDATABASE": self.dbname(pool_mode),
                "PGUSER": self.server.user}

    def log(self) -> str:
        assert self._cluster is not None
        try:
            return (self._cluster.root / "pgbouncer.log").read_text(encoding="utf-8", errors="replace")
        except FileNotFoundError:
            return ""

    def _boot(self, account: pwd.struct_passwd | None) -> None:
        binary = shutil.which("pgbouncer") or "/usr/sbin/pgbouncer"
        if not Path(binary).is_file():
            raise PostgresUnavailable("pgbouncer not found; install the pgbouncer package")
        assert self._cluster is not None
        root = self._cluster.root
        self.port = _free_port()
        (root / "users.txt").write_text(f'"{self.server.user}" ""\n', encoding="utf-8")
        databases = "".join(
            f"{self.dbname(mode)} = host={self.server.host} port={self.server.port}"
            f" dbname={self.server.dbname} pool_mode={mode}\n"
            for mode in self.POOL_MODES
        )
        (root / "pgbouncer.ini").write_text(
            "[databases]\n" + databases + "[pgbouncer]\n"
            f"listen_addr = 127.0.0.1\nlisten_port = {self.port}\nunix_socket_dir =\n"
            f"auth_type = trust\nauth_file = {root / 'users.txt'}\n"
            f"logfile = {root / 'pgbouncer.log'}\n"
            "max_client_conn = 200\ndefault_pool_size = 20\n",
            encoding="utf-8",
        )
        if account is not None:
            for path in (root, *root.iterdir()):
                os.chown(path, account.pw_uid, account.pw_gid)
        self._cluster.server = subprocess.Popen(
            [*_launcher(account), binary, str(root / "pgbouncer.ini")],
            cwd=root, env=_server_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True,
        )
        self._wait_until_ready()

    def _wait_until_ready(self) -> None:
        assert self._cluster is not None and self._cluster.server is not None
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if self._cluster.server.poll() is not None:
                raise PostgresUnavailable(f"pgbouncer exited during startup:\n{self.log()}")
            try:
                psycopg.connect(
                    **_pinned_libpq_params(), host="127.0.0.1", port=self.port, user=self.server.user,
                    dbname=self.dbname("session"), connect_timeout=2,
                ).close()
                return
            except psycopg.OperationalError:
                if time.monotonic() > deadline:
                    raise PostgresUnavailable(f"pgbouncer not ready after {START_TIMEOUT}s:\n{self.log()}") from None
                time.sleep(0.05)
