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

from .callbacks import check_callback_url
from .emvco import (
    DEFAULT_MERCHANT_CATEGORY,
    DEFAULT_MERCHANT_NAME,
    bill_payment_payload,
    check_amount,
    check_merchant_category,
    check_merchant_name,
    qr_png_base64,
)
from .messages import PAY_PATH, Answer, RecordedRequest, json_answer
from .payments import (
    EVENT_BY_REFERENCE,
    EVENT_BY_TRANSACTION,
    InvalidPayment,
    PaymentTime,
    paid_amount,
    payment_date,
    payment_record,
    payment_time,
    scanned_bill,
)

SUCCESS = {"code": 1000, "description": "Success"}
# The bank's generic response codes. Of the three it has for missing or invalid parameters,
# 1101 answers a required parameter that is missing (or empty), 1102 a parameter whose value
# is wrong, and 1103 a request body that cannot be read as what the endpoint takes.
CODE_MISSING_PARAMETER = 1101
CODE_INVALID_PARAMETER = 1102
CODE_UNREADABLE_BODY = 1103
CODE_MISSING_HEADER = 9100
CODE_EXPIRED_TOKEN = 9300
CODE_INVALID_CREDENTIALS = 9500
CODE_METHOD_NOT_ALLOWED = 9900
CODE_UNSUPPORTED_CONTENT_TYPE = 9901
# No code is documented for an unknown path: the answer keeps the bank's status shape with the HTTP status.
NOT_FOUND = 404
# The library renews its access token when a request is refused with 9500.
TOKEN_REJECTION_CODES = (CODE_INVALID_CREDENTIALS, CODE_EXPIRED_TOKEN)

BILLER_ID = re.compile(r"[0-9]{15}")
REFERENCE = re.compile(r"[A-Z0-9]{0,20}")
ISO_DATE = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}")


Route = tuple[tuple[str, ...], Callable[[RecordedRequest], Any]]
"""The methods a path accepts and what produces the data of its answer."""

PaymentListener = Callable[[dict[str, str], str], None]
"""Told of each payment with a callback URL: the payment's record and the URL."""


class BankError(Exception):
    def __init__(self, status: int, code: int, description: str) -> None:
        super().__init__(description)
        self.status = status
        self.code = code
        self.description = description

    def answer(self) -> Answer:
        return json_answer(self.status, {"status": {"code": self.code, "description": self.description}, "data": None})


def missing(description: str) -> BankError:
    return BankError(400, CODE_MISSING_PARAMETER, description)


def invalid(description: str) -> BankError:
    return BankError(400, CODE_INVALID_PARAMETER, description)


def unreadable(description: str) -> BankError:
    return BankError(400, CODE_UNREADABLE_BODY, description)


@dataclass(frozen=True)
class BankOptions:
    """Where a test may want the sandbox to answer otherwise than it usually does."""

    qr_transaction_ids: bool = False
    """QR answers also carry a transactionId, for tests of the path that stores one; the bank's v1 answer has none."""
    rejected_token_code: int = CODE_INVALID_CREDENTIALS
    """The code of the 401 answer to an unusable access token: 9500, or 9300 to see what a client does then."""
    merchant_category: str = DEFAULT_MERCHANT_CATEGORY
    """Merchant category code (ISO 18245) of every payload, tag 52."""
    merchant_name: str = DEFAULT_MERCHANT_NAME
    """Merchant name of the payloads (tag 59) for applications registered without one of their own."""
    callback_retries: int = 3
    """How many more times a payment's callback is sent when it is not acknowledged with resCode "00"."""
    callback_retry_delay: float = 1.0
    """Seconds between the attempts of a callback."""

    def __post_init__(self) -> None:
        if self.rejected_token_code not in TOKEN_REJECTION_CODES:
            raise ValueError(f"rejected_token_code must be one of {TOKEN_REJECTION_CODES}")
        if self.callback_retries < 0 or not self.callback_retry_delay >= 0:
            raise ValueError("callback_retries and callback_retry_delay must not be negative")
        check_merchant_category(self.merchant_category)
        check_merchant_name(self.merchant_name)


@dataclass
class IssuedToken:
    application: str
    environment: str | None
    expires_at: float
    revoked: bool = False

    def usable_in(self, environment: str | None, now: float) -> bool:
        return not self.revoked and now < self.expires_at and environment == self.environment


class Bank:
    def __init__(
        self, applications: dict[str, str], token_lifetime: int, options: BankOptions, on_payment: PaymentListener
    ) -> None:
        self._lock = threading.RLock()
        self._applications = dict(applications)
        self._merchant_names: dict[str, str] = {}
        self._callback_urls: dict[str, str] = {}
        # The bank ties a biller id to one application: the one whose callback hears of its payments.
        self._biller_applications: dict[str, str] = {}
        self._on_payment = on_payment
        self.token_lifetime = token_lifetime
        self.options = options
        self._tokens: dict[str, IssuedToken] = {}
        self._issued: list[str] = []
        self._qr_codes: list[dict[str, Any]] = []
        self._payments: list[dict[str, str]] = []
        # Never restarted, so an id left over from before a reset cannot match a new one.
        self._numbers = itertools.count(1)
        self._routes: dict[str, Route] = {
            "token": (("POST",), self._issue_token),
            "qr": (("POST",), self._create_qr),
            "inquiry": (("GET", "POST"), self._inquire),
            PAY_PATH: (("POST",), self._pay_request),
        }

    def add_route(self, path: str, methods: tuple[str, ...], handler: Callable[[RecordedRequest], Any]) -> None:
        """Answer requests to `path` with what `handler` returns, as `data` in the bank's usual envelope."""
        self._routes[path] = (methods, handler)

    def register_application(
        self, key: str, secret: str, merchant_name: str | None = None, callback_url: str | None = None
    ) -> None:
        if merchant_name is not None:
            check_merchant_name(merchant_name)
        if callback_url is not None:
            check_callback_url(callback_url)
        with self._lock:
            self._applications[key] = secret
            _set_or_remove(self._merchant_names, key, merchant_name)
            _set_or_remove(self._callback_urls, key, callback_url)

    @property
    def applications(self) -> dict[str, str]:
        with self._lock:
            return dict(self._applications)

    @property
    def issued_tokens(self) -> list[str]:
        with self._lock:
            return list(self._issued)

    @property
    def qr_codes(self) -> list[dict[str, Any]]:
        with self._lock:
            return [dict(qr) for qr in self._qr_codes]

    @property
    def payments(self) -> list[dict[str, str]]:
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
            self._callback_urls.clear()
            self._biller_applications.clear()

    def pay(
        self,
        qr_raw_data: str,
        amount: str | None = None,
        paid_at: PaymentTime = None,
        partner_transaction_id: str | None = None,
    ) -> dict[str, str]:
        """Pay a scanned payload as a customer's banking app would; the bank's record of the payment."""
        bill = scanned_bill(qr_raw_data)
        baht = paid_amount(bill, amount)
        when = payment_time(paid_at)
        if partner_transaction_id is not None and (not isinstance(partner_transaction_id, str)
                                                   or not partner_transaction_id):
            raise InvalidPayment("partnerTransactionId must be a non-empty string")
        with self._lock:
            record = payment_record(bill, baht, when, self._new_id("SBX"), self._new_id("SLIP"),
                                    partner_transaction_id or "")
            self._payments.append(record)
            application = self._biller_applications.get(bill.biller_id)
            callback_url = None if application is None else self._callback_urls.get(application)
        if callback_url is not None:
            self._on_payment(dict(record), callback_url)
        return dict(record)

    def handle(self, request: RecordedRequest) -> Answer:
        try:
            return json_answer(200, {"status": SUCCESS, "data": self._dispatch(request)})
        except BankError as error:
            return error.answer()

    def _new_id(self, prefix: str) -> str:
        return f"{prefix}{next(self._numbers):010d}{secrets.token_hex(4).upper()}"

    def _dispatch(self, request: RecordedRequest) -> Any:
        known = self._routes.get(request.endpoint or request.path)
        if known is None:
            raise BankError(NOT_FOUND, NOT_FOUND, f"No such resource: {request.path}")
        methods, handler = known
        if request.method not in methods:
            raise BankError(405, CODE_METHOD_NOT_ALLOWED, f"Method {request.method} not allowed on {request.path}")
        return handler(request)

    def _issue_token(self, request: RecordedRequest) -> dict[str, Any]:
        _require_headers(request, "resourceOwnerId", "requestUId")
        _require_json_content_type(request)
        body = _json_object(request.body)
        key, secret = _text(body, "applicationKey"), _text(body, "applicationSecret")
        with self._lock:
            if self._applications.get(key) != secret:
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

    def _authorize(self, request: RecordedRequest) -> IssuedToken:
        scheme, _, token = (request.header("Authorization") or "").partition(" ")
        with self._lock:
            issued = self._tokens.get(token) if scheme.lower() == "bearer" else None
            if issued is None or not issued.usable_in(request.environment, time.time()):
                raise BankError(401, self.options.rejected_token_code, "Invalid or expired access token")
            return issued

    def _create_qr(self, request: RecordedRequest) -> dict[str, Any]:
        application = self._authorize(request).application
        _require_headers(request, "resourceOwnerId", "requestUId")
        _require_json_content_type(request)
        qr = _qr_request(_json_object(request.body))
        options = self.options
        with self._lock:
            merchant_name = self._merchant_names.get(application, options.merchant_name)
        payload = bill_payment_payload(
            qr["ppId"], qr["ref1"], qr["ref2"], qr["amount"], qr["ref3"],
            merchant_category=options.merchant_category, merchant_name=merchant_name,
        )
        answer = {"qrRawData": payload, "qrImage": qr_png_base64(payload)}
        with self._lock:
            created = {**qr, "payload": payload, "environment": request.environment}
            if options.qr_transaction_ids:
                answer["transactionId"] = created["transactionId"] = self._new_id("SBX")
            self._qr_codes.append(created)
            self._biller_applications[qr["ppId"]] = application
        return answer

    def _inquire(self, request: RecordedRequest) -> list[dict[str, str]]:
        self._authorize(request)
        _require_headers(request, "resourceOwnerId", "requestUId")
        if request.method == "POST" and request.body:
            raise unreadable("Inquiry takes its parameters in the query; the request body must be empty")
        matches = _payment_filter(_query(request.query))
        with self._lock:
            return [dict(payment) for payment in self._payments if matches(payment)]

    def _pay_request(self, request: RecordedRequest) -> dict[str, str]:
        body = _json_object(request.body)
        try:
            return self.pay(_field(body, "qrRawData"), body.get("amount"), body.get("paidAt"),
                            body.get("partnerTransactionId"))
        except InvalidPayment as error:
            raise invalid(str(error)) from None


def _set_or_remove(values: dict[str, str], key: str, value: str | None) -> None:
    if value is None:
        values.pop(key, None)
    else:
        values[key] = value


def _require_headers(request: RecordedRequest, *names: str) -> None:
    for name in names:
        if not request.header(name):
            raise BankError(400, CODE_MISSING_HEADER, f"Missing header {name}")


def _require_json_content_type(request: RecordedRequest) -> None:
    media_type = (request.header("Content-Type") or "").split(";")[0].strip().lower()
    if media_type != "application/json":
        raise BankError(415, CODE_UNSUPPORTED_CONTENT_TYPE, "Header Content-Type must be application/json")


def _json_object(body: bytes) -> dict[str, Any]:
    try:
        parsed = json.loads(body)
    except (ValueError, UnicodeDecodeError):
        raise unreadable("Request body is not valid JSON") from None
    if not isinstance(parsed, dict):
        raise unreadable("Request body must be a JSON object")
    return parsed


def _field(body: dict[str, Any], name: str) -> Any:
    value = body.get(name)
    if value is None or value == "":
        raise missing(f"{name} is required")
    return value


def _text(body: dict[str, Any], name: str) -> str:
    value = _field(body, name)
    if not isinstance(value, str):
        raise invalid(f"{name} must be a string")
    return value


def _qr_request(body: dict[str, Any]) -> dict[str, str]:
    if _field(body, "qrType") != "PP":
        raise invalid("qrType must be PP")
    if _field(body, "ppType") != "BILLERID":
        raise invalid("ppType must be BILLERID")
    pp_id = _field(body, "ppId")
    if not isinstance(pp_id, str) or not BILLER_ID.fullmatch(pp_id):
        raise invalid("ppId must be exactly 15 digits")
    try:
        amount = check_amount(_field(body, "amount"))
    except ValueError as error:
        raise invalid(f"amount {error}") from None
    return {
        "qrType": "PP",
        "ppType": "BILLERID",
        "ppId": pp_id,
        "amount": amount,
        "ref1": _reference(_field(body, "ref1"), "ref1"),
        "ref2": _optional_reference(body, "ref2"),
        "ref3": _optional_reference(body, "ref3"),
    }


def _reference(value: Any, field: str) -> str:
    if not isinstance(value, str) or not REFERENCE.fullmatch(value):
        raise invalid(f"{field} must be at most 20 characters of A-Z and 0-9")
    return value


def _optional_reference(body: dict[str, Any], field: str) -> str:
    """An empty reference may be left out of the request."""
    value = body.get(field)
    return "" if value is None else _reference(value, field)


def _query(query: str) -> dict[str, str]:
    params: dict[str, str] = {}
    for name, value in parse_qsl(query, keep_blank_values=True):
        if name in params:
            raise invalid(f"Parameter {name} given more than once")
        params[name] = value
    return params


def _payment_filter(params: dict[str, str]) -> Callable[[dict[str, str]], bool]:
    event = _required(params, "eventCode")
    if event == EVENT_BY_TRANSACTION:
        wanted = {"partnerTransactionId": _required(params, "partnerTransactionId")}
    elif event == EVENT_BY_REFERENCE:
        wanted = {"payeeProxyId": _required(params, "billerId"), "billPaymentRef1": _required(params, "reference1")}
        if params.get("reference2"):
            wanted["billPaymentRef2"] = params["reference2"]
    else:
        raise invalid(f"eventCode must be {EVENT_BY_TRANSACTION} or {EVENT_BY_REFERENCE}")
    day = _date(_required(params, "transactionDate"), "transactionDate").isoformat()
    amount = _decimal(params["amount"], "amount") if event == EVENT_BY_REFERENCE and params.get("amount") else None

    def matches(payment: dict[str, str]) -> bool:
        if payment_date(payment) != day or any(payment[key] != value for key, value in wanted.items()):
            return False
        return amount is None or Decimal(payment["amount"]) == amount

    return matches


def _required(params: dict[str, str], name: str) -> str:
    value = params.get(name)
    if not value:
        raise missing(f"Missing parameter {name}")
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
        number = Decimal(value)
    except InvalidOperation:
        number = Decimal("NaN")
    if not number.is_finite():
        raise invalid(f"{field} must be a number")
    return number
