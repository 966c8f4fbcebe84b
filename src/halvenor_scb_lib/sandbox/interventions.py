"""Canned answers, transport faults and request hooks that take the place of the bank's real behaviour."""

from __future__ import annotations

import enum
import threading
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass

from .messages import ENDPOINTS, Answer, RecordedRequest

RequestHook = Callable[[RecordedRequest], object]
"""Called with each request it applies to, in the handler thread, before the request is answered."""


class Delivery(enum.Enum):
    """How an answer reaches the client, or how it fails to."""

    WHOLE = "whole"
    """Status line, headers and the whole body."""
    CUT = "cut"
    """Status line, headers (Content-Length of the whole body) and its first half, then a TCP reset."""
    DROP = "drop"
    """The connection is closed without an answer."""
    HANG = "hang"
    """Not a byte, until the client hangs up or the sandbox stops."""


@dataclass
class Plan:
    """How to treat one request: wait `latency` seconds, then deliver `answer` (None: the bank's own) as planned."""

    latency: float = 0.0
    delivery: Delivery = Delivery.WHOLE
    answer: Answer | None = None

    @property
    def decided(self) -> bool:
        """Whether a fault has already chosen the outcome, leaving later faults only their latency."""
        return self.delivery is not Delivery.WHOLE or self.answer is not None


@dataclass
class _Script:
    endpoint: str
    answer: Answer
    remaining: int


class _Countdown:
    """Applies to requests to one endpoint or to callbacks (None: every bank endpoint), `remaining` times (None: until
    reset)."""

    def __init__(self, endpoint: str | None, remaining: int | None) -> None:
        if remaining is not None and remaining < 1:
            raise ValueError("times must be at least 1, or None for every request until reset")
        self.endpoint = endpoint
        self.remaining = remaining

    def applies_to(self, endpoint: str) -> bool:
        if self.remaining == 0:
            return False
        return self.endpoint == endpoint or (self.endpoint is None and endpoint in ENDPOINTS)

    def use(self) -> None:
        if self.remaining is not None:
            self.remaining -= 1


class _Fault(_Countdown):
    def __init__(
        self, endpoint: str | None, latency: float, delivery: Delivery, html_error: Answer | None, times: int | None
    ) -> None:
        super().__init__(endpoint, times)
        self.latency = latency
        self.delivery = delivery
        self.html_error = html_error


class _Hook(_Countdown):
    def __init__(self, endpoint: str | None, hook: RequestHook, times: int | None) -> None:
        super().__init__(endpoint, times)
        self.hook = hook


def fault_delivery(*, drop: bool, hang: bool, reset_mid_body: bool, html_error: bool) -> Delivery:
    """The delivery one fault asks for; a fault can cut its own error page, but not drop or hang it."""
    chosen = [delivery for delivery, wanted in ((Delivery.DROP, drop), (Delivery.HANG, hang),
                                                (Delivery.CUT, reset_mid_body)) if wanted]
    if len(chosen) > 1:
        raise ValueError("drop, hang and reset_mid_body exclude each other")
    if html_error and chosen and chosen[0] is not Delivery.CUT:
        raise ValueError("a dropped or hanging request gets no error page")
    return chosen[0] if chosen else Delivery.WHOLE


class Interventions:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._scripts: deque[_Script] = deque()
        self._faults: list[_Fault] = []
        self._hooks: list[_Hook] = []

    def add_script(self, endpoint: str, answer: Answer, times: int) -> None:
        if times < 1:
            raise ValueError("times must be at least 1")
        with self._lock:
            self._scripts.append(_Script(endpoint, answer, times))

    def add_fault(
        self, endpoint: str | None, latency: float, delivery: Delivery, html_error: Answer | None, times: int | None
    ) -> None:
        if latency < 0:
            raise ValueError("latency must not be negative")
        fault = _Fault(endpoint, latency, delivery, html_error, times)
        with self._lock:
            self._faults.append(fault)

    def add_hook(self, endpoint: str | None, hook: RequestHook, times: int | None) -> None:
        entry = _Hook(endpoint, hook, times)
        with self._lock:
            self._hooks.append(entry)

    def clear(self) -> None:
        with self._lock:
            self._scripts.clear()
            self._faults.clear()
            self._hooks.clear()

    def hooks_for(self, endpoint: str) -> list[RequestHook]:
        """Consume the hooks that apply to one request to `endpoint`, in the order they were added."""
        with self._lock:
            applying = [entry for entry in self._hooks if entry.applies_to(endpoint)]
            for entry in applying:
                entry.use()
        return [entry.hook for entry in applying]

    def plan_for(self, endpoint: str) -> Plan:
        """Consume the faults and the script that apply to one request to `endpoint`.

        Latencies of all matching faults add up; the first fault that drops, hangs, cuts or
        answers with an error page decides the outcome. A script is used up only when the
        request is going to be answered (whole or cut) and no error page takes its place.
        """
        plan = Plan()
        with self._lock:
            for fault in self._faults:
                if not fault.applies_to(endpoint):
                    continue
                fault.use()
                plan.latency += fault.latency
                if not plan.decided:
                    plan.delivery, plan.answer = fault.delivery, fault.html_error
            if plan.delivery in (Delivery.WHOLE, Delivery.CUT) and plan.answer is None:
                plan.answer = self._take_script(endpoint)
        return plan

    def _take_script(self, endpoint: str) -> Answer | None:
        script = next((s for s in self._scripts if s.endpoint == endpoint), None)
        if script is None:
            return None
        script.remaining -= 1
        if script.remaining == 0:
            self._scripts.remove(script)
        return script.answer
