"""What the sandbox receives and what it answers, independent of the HTTP server."""

from __future__ import annotations

import json
import time
from dataclasses import dataclass
from typing import Any, Union

ENDPOINTS = ("token", "qr", "inquiry")
# Not a request to the bank but the bank's own, to an application's callback URL after a payment.
CALLBACK = "callback"
ENVIRONMENT_PREFIXES = {"production": "/partners/v1", "sandbox": "/partners/sandbox/v1"}
ENDPOINT_SUFFIXES = {
    "token": "/oauth/token",
    "qr": "/payment/qrcode/create",
    "inquiry": "/payment/billpayment/inquiry",
}
ROUTES = {
    prefix + suffix: (endpoint, environment)
    for environment, prefix in ENVIRONMENT_PREFIXES.items()
    for endpoint, suffix in ENDPOINT_SUFFIXES.items()
}
PAY_PATH = "/_sandbox/pay"
CONNECTIONS_PATH = "/_sandbox/connections"

JsonBody = Union[str, bytes, dict[str, Any], list[Any]]


def route(path: str) -> tuple[str | None, str | None]:
    """Return (endpoint, environment) for a bank path, (None, None) for anything else."""
    return ROUTES.get(path, (None, None))


def check_endpoint(endpoint: str) -> str:
    if endpoint not in ENDPOINTS:
        raise ValueError(f"unknown endpoint {endpoint!r}, expected one of {', '.join(ENDPOINTS)}")
    return endpoint


@dataclass(frozen=True)
class RecordedRequest:
    method: str
    path: str
    query: str
    target: str
    headers: list[tuple[str, str]]
    body: bytes
    endpoint: str | None
    environment: str | None
    client_certificate: str | None = None
    """Common name of the client certificate the connection presented, when the sandbox asked for one."""
    received_at: float = 0.0
    """time.monotonic() when the request had been read."""

    @classmethod
    def received(
        cls, method: str, target: str, headers: list[tuple[str, str]], body: bytes,
        client_certificate: str | None = None,
    ) -> RecordedRequest:
        path, _, query = target.partition("?")
        endpoint, environment = route(path)
        return cls(method, path, query, target, headers, body, endpoint, environment, client_certificate,
                   time.monotonic())

    def json(self) -> Any:
        return json.loads(self.body)

    def header(self, name: str) -> str | None:
        wanted = name.lower()
        return next((value for key, value in self.headers if key.lower() == wanted), None)


@dataclass(frozen=True)
class Answer:
    status: int
    body: bytes
    headers: list[tuple[str, str]]


def make_answer(
    status: int, body: bytes, content_type: str, extra_headers: list[tuple[str, str]] | None = None
) -> Answer:
    """Headers given by the caller replace the defaults of the same name.

    Connection is left to the server, which knows whether it keeps the connection open.
    """
    extra = list(extra_headers or [])
    replaced = {name.lower() for name, _ in extra}
    defaults = [("Content-Type", content_type), ("Content-Length", str(len(body)))]
    return Answer(status, body, [h for h in defaults if h[0].lower() not in replaced] + extra)


def compact_json(payload: Any) -> bytes:
    return json.dumps(payload, separators=(",", ":"), ensure_ascii=False).encode("utf-8")


def json_answer(status: int, payload: Any) -> Answer:
    return make_answer(status, compact_json(payload), "application/json")


def scripted_answer(status: int, body: JsonBody, headers: list[tuple[str, str]] | None) -> Answer:
    if isinstance(body, (dict, list)):
        return make_answer(status, compact_json(body), "application/json", headers)
    if isinstance(body, str):
        content_type = "text/html" if body.startswith("<") else "text/plain"
        return make_answer(status, body.encode("utf-8"), content_type, headers)
    return make_answer(status, bytes(body), "text/plain", headers)


def html_error_answer(status: int) -> Answer:
    # Shaped like the error page a load balancer in front of the bank would return.
    page = (
        f"<html><head><title>{status} Error</title></head>"
        f"<body><center><h1>{status} Error</h1></center><hr><center>gateway</center></body></html>"
    )
    return make_answer(status, page.encode("ascii"), "text/html")
