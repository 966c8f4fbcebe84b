"""The read-only check of an ERP database: what it reports, what it judges an index by, and that
the statements it proposes really mend what it found."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

import halvenor_scb_lib as scb
from bank_helpers import envelope
from halvenor_scb_lib.devdb import ERP_TABLES, ThrowawayPostgres

README = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
ROLE, PASSWORD = "clerk", "clerk-secret"
INDEXES = {
    "res_partner_bank_scb_biller_id_idx": "res_partner_bank",
    "res_partner_bank_scb_api_config_id_idx": "res_partner_bank",
    "scb_payment_intent_invoice_company_idx": "scb_payment_intent",
    "scb_payment_intent_reference_idx": "scb_payment_intent",
    "scb_payment_intent_pending_idx": "scb_payment_intent",
}


@pytest.fixture(scope="module")
def server() -> Iterator[ThrowawayPostgres]:
    with ThrowawayPostgres(dbname="checked") as pg:
        yield pg


@pytest.fixture
def erp_schema(server: ThrowawayPostgres, monkeypatch: pytest.MonkeyPatch) -> ThrowawayPostgres:
    """The development schema anew, a role that may use it as the module does, and PG* at the superuser."""
    server.execute("DROP TABLE IF EXISTS " + ", ".join(ERP_TABLES) + " CASCADE")
    if server.execute("SELECT 1 FROM pg_roles WHERE rolname = %s", (ROLE,)):
        server.execute(f"DROP OWNED BY {ROLE}")
        server.execute(f"DROP ROLE {ROLE}")
    server.create_role(ROLE, PASSWORD)
    for name in [name for name in os.environ if name.startswith("PG")]:
        monkeypatch.delenv(name)
    for name, value in server.environ().items():
        monkeypatch.setenv(name, value)
    return server


def as_role(monkeypatch: pytest.MonkeyPatch) -> None:
    """The check's session as the role, over TCP with its password."""
    monkeypatch.setenv("PGHOST", "127.0.0.1")
    monkeypatch.setenv("PGUSER", ROLE)
    monkeypatch.setenv("PGPASSWORD", PASSWORD)


def problems() -> list[tuple[str, str, str]]:
    answer = scb.check_database()
    assert answer["status"]["code"] == 1000, answer
    found = [(p["kind"], p["table"], p["name"]) for p in answer["data"]["problems"]]
    assert answer["data"]["ok"] is (found == [])
    return found


def mend_all(pg: ThrowawayPostgres) -> None:
    """Runs, as the superuser, every statement the check proposes (CONCURRENTLY needs no transaction)."""
    for problem in scb.check_database()["data"]["problems"]:
        pg.execute(problem["mend"])


def cli(*arguments: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "halvenor_scb_lib", "check-database", *arguments],
                          capture_output=True, text=True, timeout=60, check=False)


@pytest.mark.parametrize("zone, utc", [("Etc/UTC", True), ("Asia/Bangkok", False)])
def test_the_development_schema_is_clean_and_the_zone_is_reported(erp_schema, zone, utc):
    (original,) = erp_schema.execute("SHOW TimeZone")[0]
    erp_schema.set_timezone(zone)
    try:
        answer = scb.check_database()
        done = cli()
        as_json = cli("--json")
    finally:
        erp_schema.set_timezone(original)

    assert answer == {"status": {"code": 1000, "description": "Database check finished"},
                      "data": {"ok": True, "role": "postgres", "server_time_zone": zone,
                               "server_time_zone_is_utc": utc, "problems": []}}
    assert done.returncode == 0 and done.stdout.splitlines()[-1] == (
        "every table, column, index and privilege the module uses is in place")
    assert f"server time zone {zone}" in done.stdout
    assert ("SET TimeZone TO 'UTC'" in done.stdout) is not utc
    assert as_json.returncode == 0 and json.loads(as_json.stdout) == answer


@pytest.mark.parametrize("fault, expected", [
    *[(f"DROP INDEX {index}", [("index", table, index)]) for index, table in INDEXES.items()],
    ("ALTER TABLE scb_api_config ALTER COLUMN token_expires_at TYPE timestamptz",
     [("column", "scb_api_config", "token_expires_at")]),
    ("ALTER TABLE scb_payment_intent ALTER COLUMN amount TYPE double precision",
     [("column", "scb_payment_intent", "amount")]),
    ("ALTER TABLE res_partner_bank DROP COLUMN use_scb_qr", [("column", "res_partner_bank", "use_scb_qr")]),
    ("DROP TABLE scb_payment_intent", [("table", "scb_payment_intent", "scb_payment_intent")] + [
        ("index", table, index) for index, table in INDEXES.items() if table == "scb_payment_intent"]),
], ids=lambda value: value if isinstance(value, str) else "")
def test_each_fault_is_reported_by_name_and_its_statement_mends_it(erp_schema, fault, expected):
    erp_schema.execute(fault)

    assert problems() == expected
    done = cli()
    assert done.returncode == 1 and f"{expected[0][0]} {expected[0][2]} ({expected[0][1]})" in done.stdout

    mend_all(erp_schema)
    assert problems() == []


def test_the_readme_recommends_the_very_statements_the_check_proposes(erp_schema):
    for index in INDEXES:
        erp_schema.execute(f"DROP INDEX {index}")
    proposed = [problem["mend"] for problem in scb.check_database()["data"]["problems"]]
    assert len(proposed) == len(INDEXES)
    assert [statement for statement in proposed if statement + ";" not in README] == []


def test_a_zone_aware_expiry_keeps_its_instant_when_mended(erp_schema):
    erp_schema.execute("ALTER TABLE scb_api_config ALTER COLUMN token_expires_at TYPE timestamptz")
    erp_schema.execute("INSERT INTO scb_api_config (name, token_expires_at) VALUES ('x', '2026-12-08 10:00+07')")
    erp_schema.execute("ALTER DATABASE checked SET TimeZone = 'America/New_York'")
    try:
        mend_all(erp_schema)
    finally:
        erp_schema.execute("ALTER DATABASE checked RESET TimeZone")
    assert erp_schema.execute("SELECT token_expires_at::text FROM scb_api_config") == [("2026-12-08 03:00:00",)]


@pytest.mark.parametrize("replacement, covered", [
    ("CREATE INDEX by_company ON scb_payment_intent (company_id, invoice_id, status)", True),
    ("CREATE INDEX by_invoice ON scb_payment_intent (invoice_id)", False),
    ("CREATE INDEX by_invoice_live ON scb_payment_intent (invoice_id, company_id) WHERE status <> 'expired'", False),
    ("CREATE INDEX by_invoice_hash ON scb_payment_intent USING hash (invoice_id)", False),
    ("CREATE INDEX by_config ON scb_payment_intent (scb_api_config_id, created_at, id)", True),
    ("CREATE INDEX by_config ON scb_payment_intent (scb_api_config_id, created_at) WHERE status = 'pending'", True),
    ("CREATE INDEX by_time ON scb_payment_intent (created_at, scb_api_config_id) WHERE status = 'pending'", False),
    ("CREATE INDEX by_config ON scb_payment_intent (scb_api_config_id, created_at) WHERE status = 'confirmed'",
     False),
    ("CREATE INDEX by_config ON scb_payment_intent (scb_api_config_id, (created_at + interval '7 hours'))", False),
])
def test_an_index_counts_by_what_it_covers_not_by_its_name(erp_schema, replacement, covered):
    advised = "scb_payment_intent_invoice_company_idx" if "invoice" in replacement else "scb_payment_intent_pending_idx"
    erp_schema.execute(f"DROP INDEX {advised}")
    erp_schema.execute(replacement)

    assert problems() == ([] if covered else [("index", "scb_payment_intent", advised)])


def grant_statements(answer: dict[str, Any]) -> list[str]:
    return [problem["mend"] for problem in answer["data"]["problems"]]


@pytest.mark.parametrize("revoke, expected", [
    (["REVOKE UPDATE ON scb_payment_intent FROM clerk"],
     ["GRANT UPDATE (amount, qr_payload, qr_image_base64, transaction_id, status, write_date)"
      " ON scb_payment_intent TO clerk"]),
    (["REVOKE UPDATE ON scb_payment_intent FROM clerk",
      "GRANT UPDATE (amount, qr_payload, qr_image_base64, transaction_id, status, write_date)"
      " ON scb_payment_intent TO clerk"], []),
    (["REVOKE ALL ON res_partner_bank FROM clerk"],
     ["GRANT SELECT (id, company_id, scb_biller_id, scb_api_config_id, use_scb_qr) ON res_partner_bank TO clerk"]),
    (["REVOKE UPDATE ON scb_api_config FROM clerk"],
     ["GRANT UPDATE (access_token, token_expires_at) ON scb_api_config TO clerk"]),
    (["REVOKE INSERT ON scb_payment_intent FROM clerk", "REVOKE USAGE ON ALL SEQUENCES IN SCHEMA public FROM clerk"],
     ["GRANT INSERT (invoice_id, company_id, scb_api_config_id, reference, amount, channel, qr_payload,"
      " qr_image_base64, transaction_id, status, created_at, create_date, write_date) ON scb_payment_intent TO clerk",
      "GRANT USAGE ON SEQUENCE public.scb_payment_intent_id_seq TO clerk"]),
], ids=["no-update", "column-grants", "no-bank-accounts", "no-token-store", "no-insert"])
def test_a_role_is_told_exactly_the_privileges_it_lacks(erp_schema, monkeypatch, revoke, expected):
    for statement in revoke:
        erp_schema.execute(statement)
    as_role(monkeypatch)

    answer = scb.check_database()
    assert answer["data"]["role"] == ROLE and grant_statements(answer) == expected
    assert {problem["kind"] for problem in answer["data"]["problems"]} <= {"privilege"}

    for statement in expected:
        erp_schema.execute(statement)
    assert problems() == []


def test_the_check_changes_nothing(erp_schema, monkeypatch):
    erp_schema.execute("DROP INDEX scb_payment_intent_reference_idx")
    erp_schema.execute("REVOKE UPDATE ON scb_api_config FROM clerk")
    catalog = "SELECT relname, relkind, relacl::text FROM pg_class WHERE relnamespace = 'public'::regnamespace ORDER BY 1"
    before = erp_schema.execute(catalog)
    monkeypatch.setenv("PGOPTIONS", "-c log_statement=all")
    log = erp_schema.root / "server.log"
    start = log.stat().st_size
    scb.check_database()
    as_role(monkeypatch)
    scb.check_database()

    assert erp_schema.execute(catalog) == before
    sent = re.findall(r"LOG:  (?:statement|execute <unnamed>): (\w+)", log.read_text(encoding="utf-8")[start:])
    assert sent and set(sent) <= {"SELECT"}


@pytest.mark.parametrize("cause, code, description", [
    ("no database", 9002, "Failed to connect to database. Check credentials and network connectivity."),
    ("no environment", 9001,
     "Database environment variables not configured. Set PGHOST, PGDATABASE, PGUSER, PGPASSWORD."),
])
def test_a_database_that_cannot_be_reached_answers_its_envelope(erp_schema, monkeypatch, cause, code, description):
    if cause == "no database":
        monkeypatch.setenv("PGPORT", "9")
    else:
        for name in ("PGHOST", "PGDATABASE"):
            monkeypatch.delenv(name)

    assert scb.check_database() == envelope(code, description)
    done = cli()
    assert done.returncode == 1 and done.stdout == "" and f"error: {code} {description}" in done.stderr
    assert json.loads(cli("--json").stdout) == envelope(code, description)


def test_the_answer_types_name_every_member(erp_schema):
    from halvenor_scb_lib.types import DatabaseCheck, DatabaseProblem
    erp_schema.execute("DROP INDEX scb_payment_intent_reference_idx")
    data = scb.check_database()["data"]
    assert set(data) == set(DatabaseCheck.__annotations__)
    assert set(data["problems"][0]) == set(DatabaseProblem.__annotations__)

