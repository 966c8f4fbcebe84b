"""Hostile texts in every place a caller, the ERP database or the bank can put one.

Each case puts one hostile text into one argument (or stored column, or bank
answer member) of one operation and then checks the same things: the answer is
an envelope, the bank's body or an invoice QR document; every statement stayed
parameterised (the ERP rows are intact and a stored text reads back byte for
byte); every JSON body the bank received is valid JSON carrying the exact text;
no header line was added to a request; and every line on standard error is one
well-formed log line.
"""

from __future__ import annotations

import json
import re
import unicodedata
from collections.abc import Callable
from dataclasses import dataclass
from decimal import Decimal
from typing import Any
from urllib.parse import parse_qsl

import pytest

from bank_helpers import bank_token
from cabi import lib, take_text
import halvenor_scb_lib as scb
from halvenor_scb_lib.types import ErrorCode

BILLER = "123456789012345"
KEY, SECRET = "KEY1", "SECRET1"
QR_SUCCESS = {"status": {"code": 1000, "description": "Success"},
              "data": {"qrRawData": "PAYLOAD", "qrImage": "IMAGE==", "transactionId": "TX1"}}

_TEN_KB = "INV'0001\"; ใบแจ้งหนี้ \\ 💸 e\u0301 -- "
HOSTILE = {
    "quotes": "O'Brien \"the\" `tick` '' \"\"",
    "backslashes": "C:\\path\\n\\\\ \\u0000 \\x1b \\",
    "sql-drop": "'; DROP TABLE scb_api_config; --",
    "sql-tautology": "1 OR 1=1",
    "sql-quoted-tautology": "x' OR '1'='1",
    "sql-dollar": "$1); DELETE FROM scb_payment_intent; $$ --",
    "tab": "INV\t0001",
    "crlf": "INV\r\n0001\rX\n",
    "forged-log-line": "x\n[CORVANE] [Mon Jan  1 00:00:00 2024] ERROR: forged",
    "header-injection": "K\r\nX-Injected: yes",
    "escape-sequence": "\x1b[2J\x1b[1;1H\x1b[31mred\x1b[0m",
    "del": "INV\x7f0001",
    "all-c0": "".join(map(chr, range(1, 32))),
    "thai": "ใบแจ้งหนี้เลขที่ ๑๐๐๑",
    "emoji": "💸🧾 👩\u200d👩\u200d👧\u200d👦",
    "combining": "Z\u0351\u0310a\u0334l\u0338g\u0321o e\u0301 \u0e01\u0e34\u0e4a",
    "line-separators": "a\u0085b\u2028c\u2029d",
    "10kb": (_TEN_KB * (10240 // len(_TEN_KB.encode()) + 1)),
}
# Texts that cannot cross the C boundary: the argument parser refuses them.
UNPASSABLE = {"nul": "INV\x000001", "lone-surrogate": "INV\ud8000001"}

LIBRARY_CODES = {code.value for code in ErrorCode}
TRANSPORT_HEADERS = {"Host", "Accept", "Content-Length"}
LOG_PREFIX = re.compile(
    r"\[CORVANE\] \[(?:Sun|Mon|Tue|Wed|Thu|Fri|Sat) (?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    r"[ 123]\d \d\d:\d\d:\d\d \d{4}\] (?:INFO|ERROR|DEBUG): "
)


def has_control(text: str) -> bool:
    """Whether text holds a character that ends or rewrites a line on a reader: any control but tab,
    and the Unicode line and paragraph separators."""
    return any(ch != "\t" and unicodedata.category(ch) in ("Cc", "Zl", "Zp") for ch in text)


def own_headers(endpoint: str, method: str) -> list[str]:
    """The header lines the module itself writes, in order, besides what libcurl adds."""
    content = ["Content-Type"] if method == "POST" else []
    if endpoint == "token":
        return content + ["resourceOwnerId", "requestUId"]
    if endpoint == "qr":
        return content + ["Authorization", "resourceOwnerId", "requestUId"]
    return content + ["Authorization", "resourceOwnerId", "requestUId", "Accept-Language"]


def header_bytes(request: Any, name: str) -> bytes | None:
    value = request.header(name)
    # http.server reads header lines as ISO-8859-1; the bytes on the wire are what the module sent.
    return None if value is None else value.encode("iso-8859-1")


def query(request: Any) -> dict[str, str]:
    return dict(parse_qsl(request.query, keep_blank_values=True, encoding="utf-8", errors="strict"))


class Bench:
    """One bank configuration and bank account, the sandbox, and the ways a text reaches them."""

    def __init__(self, erp: Any, sandbox: Any) -> None:
        self.erp = erp
        self.sandbox = sandbox
        self._account: tuple[int, int] | None = None

    def account(self, api_key: str = KEY, api_secret: str = SECRET, biller_id: str = BILLER) -> tuple[int, int]:
        """(config id, bank account id), made on first use."""
        if self._account is None:
            config_id = self.erp.add_config(api_key=api_key, api_secret=api_secret)
            self._account = config_id, self.erp.add_bank_account(config_id, biller_id=biller_id)
        return self._account

    def qr_url(self) -> str:
        return f"https://{self.sandbox.address}/partners/sandbox/v1/payment/qrcode/create"

    def token_url(self) -> str:
        return f"https://{self.sandbox.address}/partners/sandbox/v1/oauth/token"

    def received(self, endpoint: str, read: Callable[[Any], Any]) -> list[Any]:
        return [read(request) for request in self.sandbox.requests_to(endpoint)]


def default_account(bench: Bench, text: str) -> None:
    bench.account()


@dataclass(frozen=True)
class Slot:
    """One place a hostile text can stand.

    prepare(bench, text) puts the rows (and canned bank answers) in place; run(bench, text)
    performs the operation and returns its answer; check(bench, text, answer) asserts where the
    text must have arrived.
    """

    run: Callable[[Bench, str], Any]
    check: Callable[[Bench, str, Any], None]
    prepare: Callable[[Bench, str], None] = default_account


def carried_in_body(endpoint: str, member: str, always: bool = True, limit: int | None = None
                    ) -> Callable[[Bench, str, Any], None]:
    """The member holds the text exactly; a stored text longer than the column's limit is read as empty."""
    def check(bench: Bench, text: str, answer: Any) -> None:
        wanted = "" if limit is not None and len(text.encode()) > limit else text
        received = bench.received(endpoint, lambda request: request.json()[member])
        assert received == [wanted] * len(received)
        assert received or not always, f"no {endpoint} request carried {member}"
    return check


def carried_in_query(name: str) -> Callable[[Bench, str, Any], None]:
    def check(bench: Bench, text: str, answer: Any) -> None:
        received = bench.received("inquiry", lambda request: query(request)[name])
        assert received == [text] * len(received)
        # Only a text whose encoded query outgrows the request URL may stay home, and then the call says so.
        if not received:
            assert len(text.encode()) > 600 and answer["status"]["code"] == ErrorCode.BANK_UNREACHABLE
    return check


def carried_in_header(endpoint: str, name: str, prefix: str = "", limit: int | None = None
                      ) -> Callable[[Bench, str, Any], None]:
    """The header holds the text (cut when longer than its line); a text a header line cannot hold
    (a control character) or longer than the stored column's limit may stay home instead."""
    def check(bench: Bench, text: str, answer: Any) -> None:
        received = bench.received(endpoint, lambda request: header_bytes(request, name))
        wanted = (prefix + text).encode()
        for value in received:
            assert value == wanted or (len(wanted) > 400 and value and wanted.startswith(value))
        too_long = limit is not None and len(text.encode()) > limit
        assert received or has_control(text) or too_long, f"no {endpoint} request carried {name}"
    return check


def refused_id(*codes: ErrorCode) -> Callable[[Bench, str, Any], None]:
    def check(bench: Bench, text: str, answer: Any) -> None:
        assert answer["status"]["code"] in codes
        assert bench.sandbox.requests == []
    return check


def both(*checks: Callable[[Bench, str, Any], None]) -> Callable[[Bench, str, Any], None]:
    def check(bench: Bench, text: str, answer: Any) -> None:
        for one in checks:
            one(bench, text, answer)
    return check


def create_qr(bench: Bench, **given: str) -> Any:
    arguments = {"api_key": KEY, "access_token": bank_token(bench.sandbox), "qr_create_url": bench.qr_url(),
                 "biller_id": BILLER, "amount": "10.00", "ref1": "INV0001", "ref2": "CUST1", "ref3": "SCB", **given}
    return scb.create_qr(**arguments)


def qr_by_bank_account(bench: Bench, **given: str) -> Any:
    _, account = bench.account()
    arguments = {"ref1": "INV0001", "ref2": "CUST1", "ref3": "SCB", **given}
    return scb.create_qr_by_bank_account(account, "10.00", **arguments)


def stored(column: str) -> Callable[[Bench, str], None]:
    def prepare(bench: Bench, text: str) -> None:
        bench.account(**{column: text})
    return prepare


def scripted_qr(body: Callable[[str], dict[str, Any]]) -> Callable[[Bench, str], None]:
    def prepare(bench: Bench, text: str) -> None:
        bench.account()
        bench.sandbox.script("qr", body=body(text))
    return prepare


def qr_for_stored_account(bench: Bench, text: str) -> Any:
    return scb.create_qr_by_bank_account(bench.account()[1], "10.00", "INV0001", "CUST1")


def token_for_stored_config(bench: Bench, text: str) -> Any:
    return scb.refresh_token(bench.account()[0])


def invoice_qr(bench: Bench, reference: str = "INV0001", bank_account_id: str | None = None) -> Any:
    config_id, account = bench.account()
    return scb.create_qr_for_invoice(invoice_id=7, company_id=1, config_id=config_id, reference=reference,
                                     amount=10.0, bank_account_id=bank_account_id or str(account))


def bank_answer_of(text: str) -> dict[str, Any]:
    return {"status": {"code": 1000, "description": "Success"},
            "data": {"qrRawData": text, "qrImage": text, "transactionId": text}}


def check_invoice_stored(members: dict[str, str]) -> Callable[[Bench, str, Any], None]:
    """members maps intent columns to answer members that must hold the text, in the row and in both answers."""
    def check(bench: Bench, text: str, answer: Any) -> None:
        (row,) = bench.erp.intents(7)
        reused = invoice_qr(bench)
        for column, member in members.items():
            assert row[column] == text
            assert answer[member] == text and reused[member] == text
        assert answer["intent_id"] == reused["intent_id"] == row["id"]
    return check


def inquire(bench: Bench, config_id: str | None = None, **given: str | None) -> Any:
    config, _ = bench.account()
    return scb.scb_api_payment_inquiry(config_id or str(config), **given)


BY_REFERENCE = {"biller_id": BILLER, "reference1": "INV0001", "transaction_date": "2024-01-31"}
BY_TRANSACTION = {"transaction_ref": "TX1", "transaction_date": "2024-01-31"}


def c_refresh_token(bench: Bench, api_key: str = KEY, api_secret: str = SECRET) -> Any:
    return json.loads(take_text(lib.scb_refresh_token(api_key.encode(), api_secret.encode(),
                                                      bench.token_url().encode())))


# Texts passed as Python arguments, which the argument parser sees first.
PYTHON_SLOTS = {
    "create_qr/api_key": Slot(lambda b, t: create_qr(b, api_key=t), carried_in_header("qr", "resourceOwnerId")),
    "create_qr/access_token": Slot(lambda b, t: create_qr(b, access_token=t),
                                   carried_in_header("qr", "Authorization", "Bearer ")),
    "create_qr/biller_id": Slot(lambda b, t: create_qr(b, biller_id=t), carried_in_body("qr", "ppId")),
    "create_qr/ref1": Slot(lambda b, t: create_qr(b, ref1=t), carried_in_body("qr", "ref1")),
    "create_qr/ref2": Slot(lambda b, t: create_qr(b, ref2=t), carried_in_body("qr", "ref2")),
    "create_qr/ref3": Slot(lambda b, t: create_qr(b, ref3=t), carried_in_body("qr", "ref3")),
    "qr_by_bank/bank_account_id": Slot(
        lambda b, t: scb.scb_api_create_qr_by_bank(t, 10.0, "INV0001", "CUST1"),
        refused_id(ErrorCode.CONFIGURATION_NOT_FOUND)),
    "qr_by_bank/ref1": Slot(lambda b, t: qr_by_bank_account(b, ref1=t), carried_in_body("qr", "ref1")),
    "qr_by_bank/ref2": Slot(lambda b, t: qr_by_bank_account(b, ref2=t), carried_in_body("qr", "ref2")),
    "qr_by_bank/ref3": Slot(lambda b, t: qr_by_bank_account(b, ref3=t), carried_in_body("qr", "ref3")),
    "invoice_qr/reference": Slot(lambda b, t: invoice_qr(b, reference=t), carried_in_body("qr", "ref1")),
    "invoice_qr/reference-stored": Slot(
        lambda b, t: invoice_qr(b, reference=t),
        both(carried_in_body("qr", "ref1"), check_invoice_stored({"reference": "reference"})),
        prepare=scripted_qr(lambda t: QR_SUCCESS)),
    "invoice_qr/bank_account_id": Slot(lambda b, t: invoice_qr(b, bank_account_id=t),
                                       refused_id(ErrorCode.CONFIGURATION_NOT_FOUND)),
    "inquiry/config_id": Slot(lambda b, t: inquire(b, config_id=t, **BY_TRANSACTION),
                              refused_id(ErrorCode.CONFIGURATION_NOT_FOUND)),
    "inquiry/transaction_ref": Slot(lambda b, t: inquire(b, **{**BY_TRANSACTION, "transaction_ref": t}),
                                    carried_in_query("partnerTransactionId")),
    "inquiry/transaction_ref/date": Slot(lambda b, t: inquire(b, **{**BY_TRANSACTION, "transaction_date": t}),
                                         carried_in_query("transactionDate")),
    "inquiry/biller_id": Slot(lambda b, t: inquire(b, **{**BY_REFERENCE, "biller_id": t}),
                              carried_in_query("billerId")),
    "inquiry/reference1": Slot(lambda b, t: inquire(b, **{**BY_REFERENCE, "reference1": t}),
                               carried_in_query("reference1")),
    "inquiry/reference2": Slot(lambda b, t: inquire(b, **BY_REFERENCE, reference2=t),
                               carried_in_query("reference2")),
    "inquiry/amount": Slot(lambda b, t: inquire(b, **BY_REFERENCE, amount=t), carried_in_query("amount")),
    "inquiry/reference/date": Slot(lambda b, t: inquire(b, **{**BY_REFERENCE, "transaction_date": t}),
                                   carried_in_query("transactionDate")),
    "refresh_token/config_id": Slot(lambda b, t: scb.scb_api_refresh_token(t), refused_id(ErrorCode.DATABASE)),
}

# Texts from stored columns, from the bank's answers, and C texts passed through ctypes.
OTHER_SLOTS = {
    "qr_by_bank/stored-api_key": Slot(qr_for_stored_account, both(
        carried_in_body("token", "applicationKey", always=False),
        carried_in_header("token", "resourceOwnerId", limit=255)), prepare=stored("api_key")),
    "qr_by_bank/stored-api_secret": Slot(qr_for_stored_account,
                                         carried_in_body("token", "applicationSecret", limit=255),
                                         prepare=stored("api_secret")),
    "qr_by_bank/stored-biller_id": Slot(qr_for_stored_account, carried_in_body("qr", "ppId", limit=255),
                                        prepare=stored("biller_id")),
    "refresh_token/stored-api_key": Slot(token_for_stored_config, both(
        carried_in_body("token", "applicationKey", always=False), carried_in_header("token", "resourceOwnerId")),
        prepare=stored("api_key")),
    "refresh_token/stored-api_secret": Slot(token_for_stored_config, carried_in_body("token", "applicationSecret"),
                                            prepare=stored("api_secret")),
    "invoice_qr/bank-answer": Slot(lambda b, t: invoice_qr(b), check_invoice_stored(
        {"qr_payload": "qr_payload", "qr_image_base64": "qr_image_base64", "transaction_id": "transaction_id"}),
        prepare=scripted_qr(bank_answer_of)),
    "c/scb_refresh_token/api_key": Slot(lambda b, t: c_refresh_token(b, api_key=t), both(
        carried_in_body("token", "applicationKey", always=False), carried_in_header("token", "resourceOwnerId"))),
    "c/scb_refresh_token/api_secret": Slot(lambda b, t: c_refresh_token(b, api_secret=t),
                                           carried_in_body("token", "applicationSecret")),
}


def erp_rows(pg: Any) -> list[Any]:
    """The ERP rows a hostile text must never alter (the token columns are the module's to write)."""
    return [
        pg.execute("SELECT id, name, api_key, api_secret, environment, application_id, active"
                   " FROM scb_api_config ORDER BY id"),
        pg.execute("SELECT * FROM res_partner_bank ORDER BY id"),
        pg.execute("SELECT to_regclass('scb_api_config'), to_regclass('res_partner_bank'),"
                   " to_regclass('scb_payment_intent')"),
    ]


def assert_answer(answer: Any) -> None:
    """An error envelope, the bank's own body, or an invoice QR document."""
    assert isinstance(answer, dict)
    if "intent_id" in answer:
        assert isinstance(answer["intent_id"], int) and answer["intent_id"] > 0
        return
    status = answer["status"]
    assert isinstance(status, dict) and type(status["code"]) is int
    if status["code"] in LIBRARY_CODES:
        assert answer["data"] is None and isinstance(status["description"], str)


def assert_bank_requests_well_formed(sandbox: Any) -> None:
    for request in sandbox.requests:
        names = [name for name, _ in request.headers if name not in TRANSPORT_HEADERS]
        assert names == own_headers(request.endpoint, request.method), request.headers
        if request.body:
            assert isinstance(request.json(), dict)


def assert_log_lines_well_formed(err: bytes) -> None:
    assert err == b"" or err.endswith(b"\n")
    for raw in err.split(b"\n")[:-1]:
        line = raw.decode("utf-8")
        assert LOG_PREFIX.match(line) and not has_control(line), ascii(line)


def run_hostile_case(bench: Bench, pg: Any, slot: Slot, text: str, capfdbinary: Any) -> None:
    slot.prepare(bench, text)
    before = erp_rows(pg)
    capfdbinary.readouterr()
    answer = slot.run(bench, text)
    assert_answer(answer)
    assert_bank_requests_well_formed(bench.sandbox)
    slot.check(bench, text, answer)
    assert_log_lines_well_formed(capfdbinary.readouterr().err)
    assert erp_rows(pg) == before
    assert pg.wait_for_client_connections(0) == 0


@pytest.fixture
def bench(erp, scb_sandbox):
    return Bench(erp, scb_sandbox)


@pytest.mark.parametrize("text", HOSTILE.values(), ids=HOSTILE.keys())
@pytest.mark.parametrize("slot", [*PYTHON_SLOTS.values(), *OTHER_SLOTS.values()],
                         ids=[*PYTHON_SLOTS, *OTHER_SLOTS])
def test_hostile_text_through_python_api(bench, pg, capfdbinary, slot, text):
    run_hostile_case(bench, pg, slot, text, capfdbinary)


@pytest.mark.parametrize("text", UNPASSABLE.values(), ids=UNPASSABLE.keys())
@pytest.mark.parametrize("slot", PYTHON_SLOTS.values(), ids=PYTHON_SLOTS.keys())
def test_text_the_c_boundary_cannot_carry_is_refused_before_anything_happens(bench, pg, capfdbinary, slot, text):
    slot.prepare(bench, text)
    before = erp_rows(pg)
    capfdbinary.readouterr()
    with pytest.raises(ValueError):
        slot.run(bench, text)
    assert bench.sandbox.requests == []
    assert capfdbinary.readouterr().err == b""
    assert erp_rows(pg) == before and bench.erp.intents() == []


TYPED_REFUSALS = {
    "qr_by_bank/bank_account_id": lambda t: scb.create_qr_by_bank_account(t, 10, "A", "B"),
    "qr_by_bank/amount": lambda t: scb.create_qr_by_bank_account(1, t, "A", "B"),
    "create_qr/amount": lambda t: scb.create_qr(api_key=KEY, access_token="T", qr_create_url="https://127.0.0.1:1/",
                                                biller_id=BILLER, amount=t, ref1="A", ref2="B"),
    "invoice_qr/invoice_id": lambda t: scb.invoice_qr(t, 1, 1, "INV1", 10, 1),
    "invoice_qr/amount": lambda t: scb.invoice_qr(7, 1, 1, "INV1", t, 1),
    "invoice_qr/bank_account_id": lambda t: scb.invoice_qr(7, 1, 1, "INV1", 10, t),
    "inquiry/config_id": lambda t: scb.payment_inquiry(t, transaction_ref="TX1"),
    "inquiry/amount": lambda t: scb.payment_inquiry(1, biller_id=BILLER, reference1="A", amount=t),
    "refresh_token/config_id": lambda t: scb.refresh_token(t),
}


@pytest.mark.parametrize("text", [*HOSTILE.values(), *UNPASSABLE.values()], ids=[*HOSTILE, *UNPASSABLE])
@pytest.mark.parametrize("call", TYPED_REFUSALS.values(), ids=TYPED_REFUSALS.keys())
def test_typed_api_refuses_hostile_ids_and_amounts_before_anything_happens(scb_sandbox, no_pg_env, capfdbinary,
                                                                          call, text):
    capfdbinary.readouterr()
    with pytest.raises(ValueError):
        call(text)
    assert scb_sandbox.requests == [] and capfdbinary.readouterr().err == b""


# The C interface's intent functions, through ctypes. NUL cannot be handed over in a C text at all.

INTENT_COLUMNS = ("reference", "channel", "qr_payload", "qr_image_base64", "transaction_id")
UPDATED_COLUMNS = ("qr_payload", "qr_image_base64", "transaction_id")


@pytest.fixture
def conn(pg):
    handle = lib.scb_db_connect(None)
    assert handle
    yield handle
    lib.scb_db_close(handle)


def upsert(conn: int, **texts: str) -> int:
    values = {"reference": "INV0007", "channel": "invoice", "qr_payload": "PAYLOAD", "qr_image_base64": "IMG==",
              "transaction_id": "TX1", **texts}
    return lib.scb_intent_upsert(conn, 7, 1, 3, *(values[column].encode() for column in INTENT_COLUMNS[:4]), 10.5,
                                 values["transaction_id"].encode())


def assert_intent_holds(erp_db: Any, conn: int, column: str, text: str) -> None:
    (row,) = erp_db.intents(7)
    assert row[column] == text
    document = json.loads(take_text(lib.scb_intent_get_by_invoice(conn, 7, 1)))
    assert document[column] == text and document["intent_id"] == row["id"]


@pytest.mark.parametrize("text", HOSTILE.values(), ids=HOSTILE.keys())
@pytest.mark.parametrize("column", INTENT_COLUMNS)
def test_intent_insert_stores_hostile_text_byte_for_byte(erp_db, pg, conn, capfdbinary, column, text):
    before = erp_rows(pg)
    capfdbinary.readouterr()
    intent_id = upsert(conn, **{column: text})
    assert intent_id == 1
    assert_intent_holds(erp_db, conn, column, text)
    assert lib.scb_intent_confirm(conn, intent_id) == 0
    assert erp_db.intents(7)[0]["status"] == "confirmed"
    assert_log_lines_well_formed(capfdbinary.readouterr().err)
    assert erp_rows(pg) == before


@pytest.mark.parametrize("text", HOSTILE.values(), ids=HOSTILE.keys())
@pytest.mark.parametrize("column", UPDATED_COLUMNS)
def test_intent_update_stores_hostile_text_byte_for_byte(erp_db, pg, conn, capfdbinary, column, text):
    erp_db.add_intent(invoice_id=7, status="pending", reference="OLD", channel="invoice", amount=Decimal("1.00"))
    capfdbinary.readouterr()
    assert upsert(conn, **{column: text}) == 1
    assert_intent_holds(erp_db, conn, column, text)
    assert erp_db.intents(7)[0]["amount"] == Decimal("10.50")
    assert_log_lines_well_formed(capfdbinary.readouterr().err)


def c_invoice_qr(bench: Bench, reference: str = "INV0001", bank_account_id: str | None = None) -> Any:
    _, account = bench.account()
    handle = lib.scb_db_connect(None)
    assert handle
    try:
        return json.loads(take_text(lib.scb_create_qr_for_invoice(
            handle, 7, 1, 1, reference.encode(), (bank_account_id or str(account)).encode(), 10.0)))
    finally:
        lib.scb_db_close(handle)


C_SLOTS = {
    "reference": Slot(lambda b, t: c_invoice_qr(b, reference=t), carried_in_body("qr", "ref1")),
    "bank_account_id": Slot(lambda b, t: c_invoice_qr(b, bank_account_id=t),
                            refused_id(ErrorCode.CONFIGURATION_NOT_FOUND)),
}


@pytest.mark.parametrize("text", HOSTILE.values(), ids=HOSTILE.keys())
@pytest.mark.parametrize("slot", C_SLOTS.values(), ids=C_SLOTS.keys())
def test_hostile_text_through_c_invoice_qr(bench, pg, capfdbinary, slot, text):
    run_hostile_case(bench, pg, slot, text, capfdbinary)
    assert bench.erp.intents() == []
