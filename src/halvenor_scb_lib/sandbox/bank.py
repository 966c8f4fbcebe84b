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
from typing import Any, Union
from urllib.parse import parse_qsl

from .callbacks import check_callback_url
from .emvco import (
    DEFAULT_MERCHANT_CATEGORY,
    DEFAULT_MERCHANT_NAME,
    IMAGE_FORMATS,
    bill_payment_payload,
    check_amount,
    check_merchant_category,
    check_merchant_name,
    qr_image_base64,
)
from .messages import PAY_PATH, Answer, RecordedRequest, json_answer
from .payments import (
    EVENT_BY_REFERENCE,
    EVENT_BY_TRANSACTION,
    InvalidPayment,
    PaymentTime,
    confirmation_record,
    paid_amount,
    payment_date,
    payment_record,
    payment_time,
    scanned_bill,
)

SUCCESS = {"code": 1000, "description": "Success"}
# The bank's generic response codes: 1101 a required parameter missing, 1102 a parameter of an invalid
# value (also a request body that is not a JSON object, which no code is documented for), 1103 an empty
# string where one is not accepted, 1104 (HTTP 404) a record that does not exist.
CODE_MISSING_PARAMETER = 1101
CODE_INVALID_PARAMETER = 1102
CODE_EMPTY_PARAMETER = 1103
CODE_NO_SUCH_RECORD = 1104
# 400 for a missing standard header, 401 for missing authorization credentials.
CODE_MISSING_CREDENTIALS = 9100
CODE_EXPIRED_TOKEN = 9300
CODE_INVALID_CREDENTIALS = 9500
# One code for a method an endpoint does not serve (405), a content type it does not take (415) and
# too many requests (429 here; the documented row has 503 for an overload).
CODE_REQUEST_REFUSED = 9900
# No code is documented for an unknown path: the answer keeps the bank's status shape with the HTTP status.
NOT_FOUND = 404
# What an unknown, expired or revoked access token is answered with: the documented 9300, or 9500.
TOKEN_REJECTION_CODES = (CODE_EXPIRED_TOKEN, CODE_INVALID_CREDENTIALS)
# What the inquiry answers when nothing was paid, which the documentation does not say.
UNPAID_ANSWERS = ("empty", "not_found")
# The Reference-3 prefix an application registers with its callback URL unless it gives another.
DEFAULT_REF3_PREFIX = "SCB"

BILLER_ID = re.compile(r"[0-9]{15}")
REFERENCE = re.compile(r"[A-Z0-9]{0,20}")
ISO_DATE = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}")


Route = tuple[tuple[str, ...], Callable[[RecordedRequest], Any]]
"""The methods a path accepts and what produces the data of its answer."""

PaymentListener = Callable[[dict[str, str], Union[str, None]], None]
"""Told of each payment to a biller with a callback URL: the confirmation to send and the URL its Reference-3
prefix selects, None when none does."""


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


def empty(description: str) -> BankError:
    return BankError(400, CODE_EMPTY_PARAMETER, description)


@dataclass(frozen=True)
class BankOptions:
    """Where a test may want the sandbox to answer otherwise than it usually does."""

    qr_transaction_ids: bool = False
    """QR answers also carry a transactionId, for tests of the path that stores one; the bank's v1 answer has none."""
    rejected_token_code: int = CODE_EXPIRED_TOKEN
    """The code of the 401 answer to an unknown, expired or revoked access token: the documented 9300, or 9500."""
    merchant_category: str = DEFAULT_MERCHANT_CATEGORY
    """Merchant category code (ISO 18245) of every payload, tag 52."""
    merchant_name: str = DEFAULT_MERCHANT_NAME
    """Merchant name of the payloads (tag 59) for applications registered without one of their own."""
    callback_retries: int = 3
    """How many more times a payment's callback is sent when it is not acknowledged with resCode "00"."""
    callback_retry_delay: float = 12.0
    """Seconds between the attempts of a callback."""
    qr_image_format: str = "gif"
    """The QR answers' image: "gif", as in the bank's answers, or "png"."""
    unpaid_inquiry: str = "empty"
    """The inquiry's answer when nothing was paid: "empty" (200, 1000 and an empty list) or "not_found" (404, 1104)."""
    rate_limit: int | None = None
    """At most this many requests a second per API and application (resourceOwnerId), past which the answer is
    429 with 9900; None for no limit. A bucket of that many requests, refilled at that many a second."""
    require_client_certificate: bool = False
    """Refuse the TLS handshake of a client without a certificate signed by the sandbox's client CA."""

    def __post_init__(self) -> None:
        if self.rejected_token_code not in TOKEN_REJECTION_CODES:
            raise ValueError(f"rejected_token_code must be one of {TOKEN_REJECTION_CODES}")
        if self.callback_retries < 0 or not self.callback_retry_delay >= 0:
            raise ValueError("callback_retries and callback_retry_delay must not be negative")
        if self.qr_image_format not in IMAGE_FORMATS:
            raise ValueError(f"qr_image_format must be one of {IMAGE_FORMATS}")
        if self.unpaid_inquiry not in UNPAID_ANSWERS:
            raise ValueError(f"unpaid_inquiry must be one of {UNPAID_ANSWERS}")
        if self.rate_limit is not None and (type(self.rate_limit) is not int or self.rate_limit < 1):
            raise ValueError("rate_limit must be None or a whole number of at least 1")
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
        self._ref3_prefixes: dict[str, str] = {}
        # The applications that made QR codes for a biller id, the latest last: a payment's confirmation
        # goes to the one whose registered Reference-3 prefix its ref3 starts with.
        self._biller_applications: dict[str, list[str]] = {}
        # Per API and application: requests the rate limit still lets through, and when that was counted.
        self._rate_buckets: dict[tuple[str, str], tuple[float, float]] = {}
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
        self, key: str, secret: str, merchant_name: str | None = None, callback_url: str | None = None,
        ref3_prefix: str = DEFAULT_REF3_PREFIX,
    ) -> None:
        if merchant_name is not None:
            check_merchant_name(merchant_name)
        if callback_url is not None:
            check_callback_url(callback_url)
        check_ref3_prefix(ref3_prefix)
        with self._lock:
            self._applications[key] = secret
            _set_or_remove(self._merchant_names, key, merchant_name)
            _set_or_remove(self._callback_urls, key, callback_url)
            self._ref3_prefixes[key] = ref3_prefix

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
            self._rate_buckets.clear()

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
            routes = self._confirmation_routes(bill.biller_id)
        if routes:
            # The longest registered prefix the payment's ref3 starts with; of equal ones, the latest QR's.
            matching = [(prefix, url) for prefix, url in routes if bill.ref3.startswith(prefix)]
            url = max(matching, key=lambda route: len(route[0]), default=(None, None))[1]
            self._on_payment(confirmation_record(record), url)
        return dict(record)

    def handle(self, request: RecordedRequest) -> Answer:
        try:
            if not self._within_rate(request):
                raise BankError(429, CODE_REQUEST_REFUSED, "Too many requests")
            return json_answer(200, {"status": SUCCESS, "data": self._dispatch(request)})
        except BankError as error:
            return error.answer()

    def _confirmation_routes(self, biller_id: str) -> list[tuple[str, str]]:
        """(Reference-3 prefix, URL) of the applications with a callback that made QR codes for the biller,
        the latest first."""
        applications = reversed(self._biller_applications.get(biller_id, []))
        return [(self._ref3_prefixes.get(application, DEFAULT_REF3_PREFIX), self._callback_urls[application])
                for application in applications if application in self._callback_urls]

    def _within_rate(self, request: RecordedRequest) -> bool:
        """Counts a request to a bank API against the rate limit; False when it is over."""
        limit = self.options.rate_limit
        if limit is None or request.endpoint is None:
            return True
        key = (request.endpoint, request.header("resourceOwnerId") or "")
        now = time.monotonic()
        with self._lock:
            left, counted_at = self._rate_buckets.get(key, (float(limit), now))
            left = min(float(limit), left + (now - counted_at) * limit)
            within = left >= 1
            self._rate_buckets[key] = (left - 1 if within else left, now)
        return within

    def _new_id(self, prefix: str) -> str:
        return f"{prefix}{next(self._numbers):010d}{secrets.token_hex(4).upper()}"

    def _dispatch(self, request: RecordedRequest) -> Any:
        known = self._routes.get(request.endpoint or request.path)
        if known is None:
            raise BankError(NOT_FOUND, NOT_FOUND, f"No such resource: {request.path}")
        methods, handler = known
        if request.method not in methods:
            raise BankError(405, CODE_REQUEST_REFUSED, f"Method {request.method} not allowed on {request.path}")
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
        if scheme.lower() != "bearer" or not token:
            raise BankError(401, CODE_MISSING_CREDENTIALS, "Missing access token: Authorization must be Bearer")
        with self._lock:
            issued = self._tokens.get(token)
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
        answer = {"qrRawData": payload, "qrImage": qr_image_base64(payload, options.qr_image_format)}
        with self._lock:
            created = {**qr, "payload": payload, "environment": request.environment}
            if options.qr_transaction_ids:
                answer["transactionId"] = created["transactionId"] = self._new_id("SBX")
            self._qr_codes.append(created)
            billers = self._biller_applications.setdefault(qr["ppId"], [])
            if application in billers:
                billers.remove(application)
            billers.append(application)
        return answer

    def _inquire(self, request: RecordedRequest) -> list[dict[str, str]]:
        self._authorize(request)
        _require_headers(request, "resourceOwnerId", "requestUId")
        if request.method == "POST" and request.body:
            raise invalid("Inquiry takes its parameters in the query; the request body must be empty")
        matches = _payment_filter(_query(request.query))
        with self._lock:
            found = [dict(payment) for payment in self._payments if matches(payment)]
        if not found and self.options.unpaid_inquiry == "not_found":
            raise BankError(404, CODE_NO_SUCH_RECORD, "Record not found")
        return found

    def _pay_request(self, request: RecordedRequest) -> dict[str, str]:
        body = _json_object(request.body)
        try:
            return self.pay(_field(body, "qrRawData"), body.get("amount"), body.get("paidAt"),
                            body.get("partnerTransactionId"))
        except InvalidPayment as error:
            raise invalid(str(error)) from None


def check_ref3_prefix(prefix: str) -> str:
    if not isinstance(prefix, str) or not REFERENCE.fullmatch(prefix):
        raise ValueError(f"a Reference-3 prefix is at most 20 characters of A-Z and 0-9, got {prefix!r}")
    return prefix


def _set_or_remove(values: dict[str, str], key: str, value: str | None) -> None:
    if value is None:
        values.pop(key, None)
    else:
        values[key] = value


def _require_headers(request: RecordedRequest, *names: str) -> None:
    for name in names:
        if not request.header(name):
            raise BankError(400, CODE_MISSING_CREDENTIALS, f"Missing header {name}")


def _require_json_content_type(request: RecordedRequest) -> None:
    media_type = (request.header("Content-Type") or "").split(";")[0].strip().lower()
    if media_type != "application/json":
        raise BankError(415, CODE_REQUEST_REFUSED, "Header Content-Type must be application/json")


def _json_object(body: bytes) -> dict[str, Any]:
    try:
        parsed = json.loads(body)
    except (ValueError, UnicodeDecodeError):
        raise invalid("Request body is not valid JSON") from None
    if not isinstance(parsed, dict):
        raise invalid("Request body must be a JSON object")
    return parsed


def _field(body: dict[str, Any], name: str) -> Any:
    value = body.get(name)
    if value is None:
        raise missing(f"{name} is required")
    if value == "":
        raise empty(f"{name} must not be empty")
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
    if value is None:
        raise missing(f"Missing parameter {name}")
    if not value:
        raise empty(f"Parameter {name} must not be empty")
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
