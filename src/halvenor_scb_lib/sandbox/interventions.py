"""Canned answers and transport faults that take the place of the bank's real behaviour."""

from __future__ import annotations

import threading
from collections import deque
from dataclasses import dataclass

from .messages import Answer


@dataclass
class Plan:
    """How to treat one request: wait `latency` seconds, then drop it, send `answer`, or let the bank answer."""

    latency: float = 0.0
    drop: bool = False
    answer: Answer | None = None


@dataclass
class _Script:
    endpoint: str
    answer: Answer
    remaining: int


@dataclass
class _Fault:
    endpoint: str | None
    latency: float
    drop: bool
    html_error: Answer | None
    remaining: int | None

    def applies_to(self, endpoint: str) -> bool:
        return self.endpoint in (None, endpoint) and self.remaining != 0

    def use(self) -> None:
        if self.remaining is not None:
            self.remaining -= 1


class Interventions:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._scripts: deque[_Script] = deque()
        self._faults: list[_Fault] = []

    def add_script(self, endpoint: str, answer: Answer, times: int) -> None:
        if times < 1:
            raise ValueError("times must be at least 1")
        with self._lock:
            self._scripts.append(_Script(endpoint, answer, times))

    def add_fault(
        self, endpoint: str | None, latency: float, drop: bool, html_error: Answer | None, times: int | None
    ) -> None:
        if times is not None and times < 1:
            raise ValueError("times must be at least 1, or None for every request until reset")
        if latency < 0:
            raise ValueError("latency must not be negative")
        with self._lock:
            self._faults.append(_Fault(endpoint, latency, drop, html_error, times))

    def clear(self) -> None:
        with self._lock:
            self._scripts.clear()
            self._faults.clear()

    def plan_for(self, endpoint: str) -> Plan:
        """Consume the faults and the script that apply to one request to `endpoint`.

        Latencies of all matching faults add up; the first fault that drops or answers with
        an error page decides the outcome, and only then is no script used up.
        """
        plan = Plan()
        with self._lock:
            for fault in self._faults:
                if not fault.applies_to(endpoint):
                    continue
                fault.use()
                plan.latency += fault.latency
                if not plan.drop and plan.answer is None:
                    plan.drop, plan.answer = fault.drop, fault.html_error
            if not plan.drop and plan.answer is None:
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
