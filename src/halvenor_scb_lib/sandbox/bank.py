"""The bank's side of the partner API: applications, access tokens, QR codes and payments."""

from __future__ import annotations

import datetime
import itertools
import json
import re
import secrets
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from decimal import Decimal, InvalidOperation
from typing import Any
from urllib.parse import parse_qsl

from .emvco import bill_payment_payload, qr_png_base64
from .messages import PAY_PATH, Answer, RecordedRequest, json_answer

SUCCESS = {"code": 1000, "description": "Success"}
CODE_INVALID_PARAMETER = 4001
CODE_INVALID_CREDENTIALS = 4010
CODE_NOT_FOUND = 4040
CODE_METHOD_NOT_ALLOWED = 4050
CODE_INVALID_TOKEN = 9500

EVENT_BY_TRANSACTION = "00300104"
EVENT_BY_REFERENCE = "00300100"

BILLER_ID = re.compile(r"[0-9]{15}")
REFERENCE = re.compile(r"[A-Z0-9]{0,20}")
AMOUNT = re.compile(r"(0|[1-9][0-9]*)\.[0-9]{2}")
ISO_DATE = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}")
# Tag 54 of the QR payload holds at most 13 characters.
MAX_AMOUNT_LENGTH = 13


Route = tuple[tuple[str, ...], Callable[[RecordedRequest], Any]]
"""The methods a path accepts and what produces the data of its answer."""


class BankError(Exception):
    def __init__(self, status: int, code: int, description: str) -> None:
        super().__init__(description)
        self.status = status
        self.code = code
        self.description = description

    def answer(self) -> Answer:
        return json_answer(self.status, {"status": {"code": self.code, "description": self.description}, "data": None})


class UnknownTransaction(KeyError):
    pass


def invalid(description: str) -> BankError:
    return BankError(400, CODE_INVALID_PARAMETER, description)


@dataclass
class IssuedToken:
    application: str
    environment: str | None
    expires_at: float
    revoked: bool = False

    def usable_in(self, environment: str | None, now: float) -> bool:
        return not self.revoked and now < self.expires_at and environment == self.environment


class Bank:
    def __init__(self, applications: dict[str, str], token_lifetime: int) -> None:
        self._lock = threading.RLock()
        self._applications = dict(applications)
        self.token_lifetime = token_lifetime
        self._tokens: dict[str, IssuedToken] = {}
        self._issued: list[str] = []
        self._qr_codes: dict[str, dict[str, Any]] = {}
        self._payments: list[dict[str, Any]] = []
        # Never restarted, so a transaction id left over from before a reset cannot match a new QR.
        self._transaction_numbers = itertools.count(1)
        self._routes: dict[str, Route] = {
            "token": (("POST",), self._issue_token),
            "qr": (("POST",), self._create_qr),
            "inquiry": (("GET", "POST"), self._inquire),
            PAY_PATH: (("POST",), self._pay_request),
        }

    def add_route(self, path: str, methods: tuple[str, ...], handler: Callable[[RecordedRequest], Any]) -> None:
        """Answer requests to `path` with what `handler` returns, as `data` in the bank's usual envelope."""
        self._routes[path] = (methods, handler)

    def register_application(self, key: str, secret: str) -> None:
        with self._lock:
            self._applications[key] = secret

    @property
    def applications(self) -> dict[str, str]:
        with self._lock:
            return dict(self._applications)

    @property
    def issued_tokens(self) -> list[str]:
        with self._lock:
            return list(self._issued)

    @property
    def qr_codes(self) -> dict[str, dict[str, Any]]:
        with self._lock:
            return {tid: dict(qr) for tid, qr in self._qr_codes.items()}

    @property
    def payments(self) -> list[dict[str, Any]]:
        with self._lock:
            return [dict(payment) for payment in self._payments]

    def expire_tokens(self) -> None:
        with self._lock:
            for token in self._tokens.values():
                token.expires_at = 0.0

    def revoke_token(self, token: str) -> None:
        with self._lock:
            if token not in self._tokens:
                raise KeyError(f"no such token: {token!r}")
            self._tokens[token].revoked = True

    def reset(self) -> None:
        with self._lock:
            self._tokens.clear()
            self._issued.clear()
            self._qr_codes.clear()
            self._payments.clear()

    def pay(self, transaction_id: str, amount: str | None = None, paid_on: str | None = None) -> dict[str, Any]:
        """Pay a created QR the way a customer's banking app would."""
        with self._lock:
            qr = self._qr_codes.get(transaction_id)
            if qr is None:
                raise UnknownTransaction(f"no QR code with transactionId {transaction_id!r}")
            paid_at = _payment_time(paid_on)
            payment = {
                "transactionId": transaction_id,
                "billerId": qr["ppId"],
                "reference1": qr["ref1"],
                "reference2": qr["ref2"],
                "reference3": qr["ref3"],
                "amount": qr["amount"] if amount is None else _amount(amount, "amount"),
                "transactionDate": paid_at.date().isoformat(),
                "paidAt": paid_at.isoformat(timespec="seconds"),
            }
            self._payments.append(payment)
            return dict(payment)

    def handle(self, request: RecordedRequest) -> Answer:
        try:
            return json_answer(200, {"status": SUCCESS, "data": self._dispatch(request)})
        except BankError as error:
            return error.answer()

    def _dispatch(self, request: RecordedRequest) -> Any:
        known = self._routes.get(request.endpoint or request.path)
        if known is None:
            raise BankError(404, CODE_NOT_FOUND, f"No such resource: {request.path}")
        methods, handler = known
        if request.method not in methods:
            raise BankError(405, CODE_METHOD_NOT_ALLOWED, f"Method {request.method} not allowed on {request.path}")
        return handler(request)

    def _issue_token(self, request: RecordedRequest) -> dict[str, Any]:
        _require_headers(request, "resourceOwnerId", "requestUId")
        _require_json_content_type(request)
        body = _json_object(request.body)
        key, secret = body.get("applicationKey"), body.get("applicationSecret")
        with self._lock:
            if not isinstance(key, str) or not isinstance(secret, str) or self._applications.get(key) != secret:
                raise BankError(401, CODE_INVALID_CREDENTIALS, "Invalid applicationKey or applicationSecret")
            lifetime = self.token_lifetime
            issued_at = time.time()
            token = secrets.token_urlsafe(32)
            self._tokens[token] = IssuedToken(key, request.environment, issued_at + lifetime)
            self._issued.append(token)
        return {
            "accessToken": token,
            "tokenType": "Bearer",
            "expiresIn": lifetime,
            "expiresAt": int(issued_at + lifetime),
        }

    def _authorize(self, request: RecordedRequest) -> None:
        scheme, _, token = (request.header("Authorization") or "").partition(" ")
        with self._lock:
            issued = self._tokens.get(token) if scheme.lower() == "bearer" else None
            if issued is None or not issued.usable_in(request.environment, time.time()):
                raise BankError(401, CODE_INVALID_TOKEN, "Invalid or expired access token")

    def _create_qr(self, request: RecordedRequest) -> dict[str, Any]:
        self._authorize(request)
        _require_headers(request, "resourceOwnerId", "requestUId")
        _require_json_content_type(request)
        qr = _qr_request(_json_object(request.body))
        payload = bill_payment_payload(qr["ppId"], qr["ref1"], qr["ref2"], qr["amount"], qr["ref3"])
        image = qr_png_base64(payload)
        with self._lock:
            transaction_id = f"SBX{next(self._transaction_numbers):010d}{secrets.token_hex(4).upper()}"
            self._qr_codes[transaction_id] = {
                "transactionId": transaction_id,
                **qr,
                "payload": payload,
                "environment": request.environment,
            }
        return {"qrRawData": payload, "qrImage": image, "transactionId": transaction_id}

    def _inquire(self, request: RecordedRequest) -> list[dict[str, Any]]:
        self._authorize(request)
        _require_headers(request, "resourceOwnerId", "requestUId")
        if request.method == "POST" and request.body:
            raise invalid("Inquiry takes its parameters in the query; the request body must be empty")
        matches = _payment_filter(_query(request.query))
        with self._lock:
            return [dict(payment) for payment in self._payments if matches(payment)]

    def _pay_request(self, request: RecordedRequest) -> dict[str, Any]:
        body = _json_object(request.body)
        transaction_id = body.get("transactionId")
        if not isinstance(transaction_id, str) or not transaction_id:
            raise invalid("transactionId is required")
        try:
            return self.pay(transaction_id, body.get("amount"), body.get("paidOn"))
        except UnknownTransaction as error:
            raise BankError(404, CODE_NOT_FOUND, error.args[0]) from None


def _require_headers(request: RecordedRequest, *names: str) -> None:
    for name in names:
        if not request.header(name):
            raise invalid(f"Missing header {name}")


def _require_json_content_type(request: RecordedRequest) -> None:
    media_type = (request.header("Content-Type") or "").split(";")[0].strip().lower()
    if media_type != "application/json":
        raise invalid("Header Content-Type must be application/json")


def _json_object(body: bytes) -> dict[str, Any]:
    try:
        parsed = json.loads(body)
    except (ValueError, UnicodeDecodeError):
        raise invalid("Request body is not valid JSON") from None
    if not isinstance(parsed, dict):
        raise invalid("Request body must be a JSON object")
    return parsed


def _qr_request(body: dict[str, Any]) -> dict[str, str]:
    if body.get("qrType") != "PP":
        raise invalid("qrType must be PP")
    if body.get("ppType") != "BILLERID":
        raise invalid("ppType must be BILLERID")
    pp_id = body.get("ppId")
    if not isinstance(pp_id, str) or not BILLER_ID.fullmatch(pp_id):
        raise invalid("ppId must be exactly 15 digits")
    ref1 = _reference(body, "ref1", required=True)
    if not ref1:
        raise invalid("ref1 must not be empty")
    return {
        "qrType": "PP",
        "ppType": "BILLERID",
        "ppId": pp_id,
        "amount": _amount(body.get("amount"), "amount"),
        "ref1": ref1,
        "ref2": _reference(body, "ref2", required=True),
        "ref3": _reference(body, "ref3", required=False),
    }


def _reference(body: dict[str, Any], field: str, *, required: bool) -> str:
    if field not in body or body[field] is None:
        if required:
            raise invalid(f"{field} is required")
        return ""
    value = body[field]
    if not isinstance(value, str) or not REFERENCE.fullmatch(value):
        raise invalid(f"{field} must be at most 20 characters of A-Z and 0-9")
    return value


def _amount(value: Any, field: str) -> str:
    if not isinstance(value, str) or not AMOUNT.fullmatch(value) or len(value) > MAX_AMOUNT_LENGTH:
        raise invalid(f"{field} must be a string with exactly two decimals, such as 100.50")
    if Decimal(value) <= 0:
        raise invalid(f"{field} must be greater than zero")
    return value


def _query(query: str) -> dict[str, str]:
    params: dict[str, str] = {}
    for name, value in parse_qsl(query, keep_blank_values=True):
        if name in params:
            raise invalid(f"Parameter {name} given more than once")
        params[name] = value
    return params


def _payment_filter(params: dict[str, str]) -> Callable[[dict[str, Any]], bool]:
    event = params.get("eventCode")
    if event == EVENT_BY_TRANSACTION:
        wanted = {"transactionId": _required(params, "partnerTransactionId")}
    elif event == EVENT_BY_REFERENCE:
        wanted = {"billerId": _required(params, "billerId"), "reference1": _required(params, "reference1")}
        if params.get("reference2"):
            wanted["reference2"] = params["reference2"]
    else:
        raise invalid(f"eventCode must be {EVENT_BY_TRANSACTION} or {EVENT_BY_REFERENCE}")
    wanted["transactionDate"] = _date(_required(params, "transactionDate"), "transactionDate").isoformat()
    amount = _decimal(params["amount"], "amount") if event == EVENT_BY_REFERENCE and params.get("amount") else None

    def matches(payment: dict[str, Any]) -> bool:
        if any(payment[key] != value for key, value in wanted.items()):
            return False
        return amount is None or Decimal(payment["amount"]) == amount

    return matches


def _required(params: dict[str, str], name: str) -> str:
    value = params.get(name)
    if not value:
        raise invalid(f"Missing parameter {name}")
    return value


def _date(value: str, field: str) -> datetime.date:
    try:
        if ISO_DATE.fullmatch(value):
            return datetime.date.fromisoformat(value)
    except ValueError:
        pass
    raise invalid(f"{field} must be a date written YYYY-MM-DD")


def _decimal(value: str, field: str) -> Decimal:
    try:
        return Decimal(value)
    except InvalidOperation:
        raise invalid(f"{field} must be a number") from None


def _payment_time(paid_on: str | None) -> datetime.datetime:
    # Local time: the harness and the ERP under test run on the same machine and agree on "today".
    now = datetime.datetime.now().astimezone()
    if paid_on is None:
        return now
    if not isinstance(paid_on, str):
        raise invalid("paidOn must be a date written YYYY-MM-DD")
    return datetime.datetime.combine(_date(paid_on, "paidOn"), now.timetz())
