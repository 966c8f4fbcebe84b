"""The bank's payment confirmations: after a payment, its confirmation is POSTed to the URL registered for
the biller id and the Reference-3 prefix of the payment.

Each delivery runs in a thread of its own, so the payment is made at once. An
answer other than HTTP 200 with ``resCode`` "00", or no answer, is retried after
a delay, a few times (BankOptions.callback_retries, callback_retry_delay).
Every attempt and its answer is kept for tests to look at, and so is a payment
no registered prefix matched.
"""

from __future__ import annotations

import http.client
import ipaddress
import json
import threading
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import urlsplit

from .interventions import Delivery, Plan
from .messages import compact_json

ATTEMPT_TIMEOUT = 10.0
"""Seconds an attempt waits for the connection and for the answer."""
ACKNOWLEDGED_CODE = "00"

PENDING = "pending"
ACKNOWLEDGED = "acknowledged"
GIVEN_UP = "given_up"
DROPPED = "dropped"
UNDELIVERABLE = "undeliverable"


def check_callback_url(url: str) -> str:
    """The bank calls https URLs only; plain http is let through to a loopback address, for a local webhook."""
    try:
        parts = urlsplit(url)
        # Reading the port raises ValueError for one that is not a number.
        usable = bool(parts.hostname) and parts.port != 0 and (
            parts.scheme == "https" or (parts.scheme == "http" and _loopback(parts.hostname or "")))
    except ValueError:
        usable = False
    if not usable:
        raise ValueError(
            f"a callback URL is https:// with a host (and a port number), or http:// to a loopback address, got {url!r}")
    return url


def _loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


@dataclass(frozen=True)
class CallbackAttempt:
    """One POST of a payment's record and what came back."""

    status: int | None
    """HTTP status of the answer; None when there was none."""
    answer: Any
    """The answer's JSON; its text when it is not JSON; None when there was no answer."""
    error: str | None = None
    """Why there was no answer (connection refused, timeout, ...)."""

    @property
    def acknowledged(self) -> bool:
        return self.status == 200 and isinstance(self.answer, dict) and self.answer.get("resCode") == ACKNOWLEDGED_CODE


@dataclass(frozen=True)
class CallbackDelivery:
    """A payment's confirmation sent to an application's callback URL."""

    url: str | None
    """None for an undeliverable confirmation."""
    record: dict[str, str]
    attempts: tuple[CallbackAttempt, ...]
    outcome: str
    """"pending" while attempts go on; then "acknowledged", "given_up" (no attempt acknowledged), or
    "dropped" (a fault kept the callback from being sent); "undeliverable" when the payment's Reference-3
    matched no prefix registered for its biller id, so that no URL was there to send it to."""


@dataclass
class _Delivery:
    url: str | None
    record: dict[str, str]
    attempts: list[CallbackAttempt] = field(default_factory=list)
    outcome: str = PENDING

    def snapshot(self) -> CallbackDelivery:
        return CallbackDelivery(self.url, dict(self.record), tuple(self.attempts), self.outcome)


class CallbackSender:
    def __init__(self, plan: Callable[[], Plan]) -> None:
        """`plan` consumes the faults that apply to one callback."""
        self._plan = plan
        self._changed = threading.Condition()
        self._deliveries: list[_Delivery] = []
        self._threads: list[threading.Thread] = []
        self._stopping = threading.Event()

    def send(self, record: dict[str, str], url: str, retries: int, retry_delay: float) -> None:
        plan = self._plan()
        delivery = _Delivery(url, dict(record))
        with self._changed:
            self._deliveries.append(delivery)
            if plan.delivery is Delivery.DROP:
                delivery.outcome = DROPPED
                self._changed.notify_all()
                return
            thread = threading.Thread(
                target=self._deliver, args=(delivery, plan.latency, retries, retry_delay),
                name="scb-sandbox-callback", daemon=True,
            )
            self._threads.append(thread)
        thread.start()

    def undeliverable(self, record: dict[str, str]) -> None:
        with self._changed:
            self._deliveries.append(_Delivery(None, dict(record), outcome=UNDELIVERABLE))
            self._changed.notify_all()

    @property
    def deliveries(self) -> list[CallbackDelivery]:
        with self._changed:
            return [delivery.snapshot() for delivery in self._deliveries]

    def wait(self, timeout: float) -> bool:
        with self._changed:
            return self._changed.wait_for(
                lambda: all(delivery.outcome != PENDING for delivery in self._deliveries), timeout)

    def stop(self) -> None:
        """End the deliveries in progress after their current attempt, and forget every delivery."""
        self._stopping.set()
        with self._changed:
            threads, self._threads = self._threads, []
        for thread in threads:
            thread.join(ATTEMPT_TIMEOUT)
        with self._changed:
            self._deliveries.clear()
        self._stopping.clear()

    def _deliver(self, delivery: _Delivery, latency: float, retries: int, retry_delay: float) -> None:
        assert delivery.url is not None
        body = compact_json(delivery.record)
        outcome = GIVEN_UP
        if not self._stopping.wait(latency):
            for number in range(retries + 1):
                if number and self._stopping.wait(retry_delay):
                    break
                attempt = post_json(delivery.url, body)
                with self._changed:
                    delivery.attempts.append(attempt)
                if attempt.acknowledged:
                    outcome = ACKNOWLEDGED
                    break
        with self._changed:
            delivery.outcome = outcome
            self._changed.notify_all()


def post_json(url: str, body: bytes) -> CallbackAttempt:
    parts = urlsplit(url)
    # http.client rather than urllib: no proxy from the environment and no redirect stands between the two.
    connection_class = http.client.HTTPSConnection if parts.scheme == "https" else http.client.HTTPConnection
    connection = connection_class(parts.hostname or "", parts.port, timeout=ATTEMPT_TIMEOUT)
    target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
    try:
        connection.request("POST", target, body=body, headers={"Content-Type": "application/json"})
        response = connection.getresponse()
        status, text = response.status, response.read()
    except (OSError, http.client.HTTPException) as error:
        return CallbackAttempt(None, None, f"{type(error).__name__}: {error}")
    finally:
        connection.close()
    return CallbackAttempt(status, _decoded(text))


def _decoded(text: bytes) -> Any:
    try:
        return json.loads(text)
    except ValueError:  # also text that is not UTF-8
        return text.decode("utf-8", "replace")
