import os
import uuid
from contextlib import ExitStack
from datetime import datetime, timedelta, timezone
from decimal import Decimal

import psycopg
import pytest

from halvenor_scb_lib.devdb import ERP_SCHEMA_SQL, ThrowawayPostgres, insert_intent_history
from test_bench_tools import ROOT, header_statements

SQL_HEADER = ROOT / "src" / "lib" / "sql.hpp"


@pytest.mark.parametrize(
    ("table", "column", "data_type", "nullable"),
    [
        ("scb_api_config", "token_expires_at", "timestamp without time zone", "YES"),
        ("scb_api_config", "active", "boolean", "NO"),
        ("scb_payment_intent", "amount", "numeric", "YES"),
        ("scb_payment_intent", "invoice_id", "integer", "NO"),
        ("scb_payment_intent", "created_at", "timestamp without time zone", "YES"),
        ("scb_payment_intent", "qr_image_base64", "text", "YES"),
        ("res_partner_bank", "scb_api_config_id", "integer", "YES"),
    ],
)
def test_erp_columns_have_the_erp_types(pg, table, column, data_type, nullable):
    rows = pg.execute(
        "SELECT data_type, is_nullable FROM information_schema.columns WHERE table_name = %s AND column_name = %s",
        (table, column),
    )
    assert rows == [(data_type, nullable)]


def test_bare_libpq_connect_reaches_the_cluster_over_its_socket(pg):
    with psycopg.connect(autocommit=True) as conn:
        database, user, server_addr = conn.execute(
            "SELECT current_database(), current_user, inet_server_addr()"
        ).fetchone()
    assert (database, user, server_addr) == (pg.dbname, "postgres", None)


@pytest.mark.parametrize(
    ("variable", "value"),
    [
        ("PGOPTIONS", "-c search_path=nowhere"),
        ("PGHOSTADDR", "127.0.0.1"),
        ("PGTARGETSESSIONATTRS", "standby"),
        ("PGGSSENCMODE", "require"),
        ("PGCHANNELBINDING", "require"),
    ],
)
def test_admin_connections_ignore_libpq_variables_a_test_sets(pg, monkeypatch, variable, value):
    monkeypatch.setenv(variable, value)
    assert pg.execute("SELECT current_setting('search_path'), inet_server_addr()") == [('"$user", public', None)]


def test_truncate_empties_tables_and_restarts_ids(pg):
    config_id = pg.seed_demo(api_key="k", api_secret="s", biller_id="b")["config_id"]
    pg.execute("INSERT INTO scb_payment_intent (invoice_id, company_id) VALUES (7, 1)")
    pg.truncate_erp_tables()
    assert pg.execute("SELECT count(*) FROM scb_payment_intent")[0][0] == 0
    assert pg.seed_demo(api_key="k", api_secret="s", biller_id="b")["config_id"] == config_id == 1


@pytest.mark.parametrize("password", ["plain", "with blank", "it's quoted", "both ' and \" and \\"])
def test_created_role_uses_erp_tables_over_tcp_with_its_password(pg, password):
    role = f"app {uuid.uuid4().hex[:8]}"
    pg.create_role(role, password)
    tcp = {"host": "127.0.0.1", "port": pg.port, "dbname": pg.dbname, "user": role}
    with psycopg.connect(**tcp, password=password, autocommit=True) as conn:
        conn.execute("INSERT INTO scb_payment_intent (invoice_id, company_id) VALUES (1, 1)")
        assert conn.execute("SELECT count(*) FROM scb_payment_intent").fetchone() == (1,)
    with pytest.raises(psycopg.OperationalError, match="password authentication failed"):
        psycopg.connect(**tcp, password=password + "x")


@pytest.fixture(scope="module")
def scratch_server():
    """A cluster nothing else in the session touches, so counts and settings are ours alone."""
    with ThrowawayPostgres(dbname="scratch", timezone="America/New_York") as server:
        yield server


@pytest.mark.parametrize("opened", [0, 1, 3])
def test_client_connections_counts_only_this_database(scratch_server, opened):
    with ExitStack() as stack:
        for _ in range(opened):
            stack.enter_context(scratch_server.connect())
        stack.enter_context(scratch_server.connect(dbname="postgres"))
        assert scratch_server.client_connections() == opened
    assert scratch_server.wait_for_client_connections(0) == 0


def test_set_timezone_overrides_the_start_timezone_for_new_sessions(scratch_server):
    assert scratch_server.execute("SHOW timezone") == [("America/New_York",)]
    scratch_server.set_timezone("Asia/Bangkok")
    assert scratch_server.execute("SHOW timezone") == [("Asia/Bangkok",)]


def test_stop_leaves_no_server_and_no_directory():
    with ThrowawayPostgres() as server:
        postmaster_pid = int((server.root / "data" / "postmaster.pid").read_text().split()[0])
        root = server.root
    assert not root.exists()
    with pytest.raises(ProcessLookupError):
        os.kill(postmaster_pid, 0)
    with pytest.raises(psycopg.OperationalError):
        psycopg.connect(host="127.0.0.1", port=server.port, user="postgres", password="x", connect_timeout=2)


@pytest.fixture
def server_timezone(pg):
    """Lets a test change the session cluster's default zone, and puts the old one back."""
    (original,) = pg.execute("SHOW timezone")[0]
    yield pg.set_timezone
    pg.set_timezone(original)


@pytest.mark.parametrize("zone", ["Asia/Bangkok", "America/Los_Angeles", "Pacific/Kiritimati"])
def test_erp_token_expiry_is_naive_utc_whatever_the_server_zone(erp_db, pg, server_timezone, zone):
    server_timezone(zone)
    config_id = erp_db.add_config(access_token="T", expires_in_seconds=600)
    (expires_at,) = pg.execute("SELECT token_expires_at FROM scb_api_config WHERE id = %s", (config_id,))[0]
    expected = datetime.now(timezone.utc).replace(tzinfo=None) + timedelta(seconds=600)
    assert abs(expires_at - expected) < timedelta(seconds=5)
    token, seconds_left = erp_db.token_row(config_id)
    assert token == "T" and 595 < seconds_left <= 600


def test_erp_intents_filter_by_invoice_in_insertion_order(erp_db):
    first, _, third = (erp_db.add_intent(invoice_id=invoice, amount=Decimal("10.50")) for invoice in (5, 6, 5))
    assert [row["id"] for row in erp_db.intents(5)] == [first, third]
    assert [row["invoice_id"] for row in erp_db.intents()] == [5, 6, 5]
    assert erp_db.intents(5)[0]["amount"] == Decimal("10.50")


# The statements an invoice QR, a payment confirmation and a reconciliation run send to the
# intent table, with realistic parameters, and the column an index must serve for each.
PLANNED = {
    "kLiveIntent": (("10004242", "3"), "invoice_id"),
    "kAnyIntent": (("10004242", "3"), "invoice_id"),
    "kMatchIntent": (("010556012345678", "H10004242"), "reference"),
    "kConfirmPendingIntent": (("4242", "T4242"), "id"),
    "kIntentState": (("4242",), "id"),
    "kPendingIntents": (("1", "3"), "created_at"),
    "kClaimIntent": (("4242",), "id"),
    "kCancelledIntentOfAmount": (("10004242", "3", "H10004242", "250.50"), "invoice_id"),
    "kCancelPendingIntents": (("10004242", "3"), "invoice_id"),
    "kConfirmedIntents": (("10004242", "3"), "invoice_id"),
}


@pytest.fixture(scope="module")
def intent_history(pg_server):
    """100,000 intents of the past in a database of their own, with statistics."""
    with pg_server.connect(dbname="postgres") as admin:
        admin.execute("CREATE DATABASE planned")
    try:
        with pg_server.connect(dbname="planned") as conn:
            conn.execute(ERP_SCHEMA_SQL)
            conn.execute("INSERT INTO scb_api_config (name) SELECT 'C' || n FROM generate_series(1, 20) AS n")
            conn.execute("INSERT INTO res_partner_bank (company_id, scb_biller_id, scb_api_config_id, use_scb_qr)"
                         " SELECT n, '0105560123456' || lpad(n::text, 2, '0'), n, true FROM generate_series(1, 20) n")
            conn.execute("INSERT INTO res_partner_bank (company_id, acc_number) SELECT 1, n::text"
                         " FROM generate_series(1, 2000) AS n")
            insert_intent_history(conn, 100_000)
            conn.execute("ANALYZE")
            yield conn
    finally:
        with pg_server.connect(dbname="postgres") as admin:
            admin.execute("DROP DATABASE planned WITH (FORCE)")


def plan_nodes(plan):
    yield plan
    for child in plan.get("Plans", []):
        yield from plan_nodes(child)


@pytest.mark.parametrize("name", PLANNED)
def test_the_intent_statements_are_served_by_an_index(intent_history, name):
    statement = header_statements(SQL_HEADER.read_text(encoding="utf-8"))[name]
    parameters, column = PLANNED[name]
    # Sent as the module sends it: one unnamed statement, its parameters as text of no declared type.
    ((plan,),) = psycopg.RawCursor(intent_history).execute(f"EXPLAIN (FORMAT JSON) {statement}", parameters)
    indexes = {row[0] for row in intent_history.execute(
        "SELECT indexname FROM pg_indexes WHERE tablename = 'scb_payment_intent'")}
    nodes = list(plan_nodes(plan[0]["Plan"]))

    assert [node for node in nodes if node["Node Type"] == "Seq Scan"
            and node.get("Relation Name") == "scb_payment_intent"] == [], plan
    served = [node["Index Cond"] for node in nodes if node.get("Index Name") in indexes and "Index Cond" in node]
    assert any(column in condition for condition in served), plan


def test_a_history_gives_every_company_its_share_of_each_status_and_nothing_pending_of_late(intent_history):
    shares = {status: (count, companies) for status, count, companies in intent_history.execute(
        "SELECT status, count(*), count(DISTINCT company_id) FROM scb_payment_intent GROUP BY status")}
    assert shares["expired"] == shares["cancelled"] == (5000, 20)
    assert shares["pending"][1] == 20 and 4900 < shares["pending"][0] < 5000
    assert shares["confirmed"][0] == 100_000 - 10_000 - shares["pending"][0]
    assert intent_history.execute(
        "SELECT count(*) FROM scb_payment_intent WHERE status = 'pending'"
        " AND created_at > (now() AT TIME ZONE 'UTC') - interval '3 days'").fetchone() == (0,)
    assert intent_history.execute(
        "SELECT min(created_at) > (now() AT TIME ZONE 'UTC') - interval '366 days' FROM scb_payment_intent"
    ).fetchone() == (True,)
