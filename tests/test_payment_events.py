"""Listening for the module's payment notifications: payment_events() in Python, the listener of the C
interface and `halvenor-scb listen`; what is heard, when it ends, a lost session, and the interpreter lock."""

from __future__ import annotations

import ctypes
import json
import os
import subprocess
import sys
import threading
import time
from typing import Any

import pytest

import halvenor_scb_lib as scb
from bank_helpers import notified, ticking
from cabi import lib, take_text

LISTENING = "WHERE query = 'LISTEN scb_payment'"


def send(pg: Any, *payloads: str) -> None:
    with pg.connect() as conn:
        for payload in payloads:
            conn.execute("SELECT pg_notify('scb_payment', %s)", (payload,))


def listener_pid(pg: Any) -> int:
    (pid,) = [row[0] for row in pg.execute(f"SELECT pid FROM pg_stat_activity {LISTENING}")]
    return int(pid)


def test_events_are_heard_from_the_call_on_in_order_and_end_after_the_timeout(shop):
    paid = shop.paid(1001)
    unknown = {**shop.paid(1002), "billPaymentRef1": "INV9999"}
    events = scb.payment_events(timeout=0.5)
    # Sent before the first next(): listening began with the call.
    answers = [scb.confirm_payment(paid), scb.confirm_payment(unknown), scb.confirm_payment(paid)]

    started = time.monotonic()
    heard = list(events)
    waited = time.monotonic() - started

    assert heard == [notified(answers[0], paid), notified(answers[1], unknown)]
    assert 0.5 <= waited < 2.0
    assert shop.erp.pg.wait_for_client_connections(0) == 0


def test_a_payload_that_is_not_a_json_object_is_passed_over(pg, capfd):
    events = scb.payment_events(timeout=1)
    send(pg, "not json", "[1, 2]", '"text"', '{"outcome": "confirmed", "invoice_id": 7}')

    assert next(events) == {"outcome": "confirmed", "invoice_id": 7}
    events.close()

    assert capfd.readouterr().err.count("ERROR: Payment notification that is not a JSON object passed over") == 3
    assert pg.wait_for_client_connections(0) == 0


def test_closing_the_generator_closes_its_session_at_once(pg):
    events = scb.payment_events()
    assert pg.wait_for_client_connections(1) == 1

    events.close()

    assert pg.wait_for_client_connections(0) == 0


def test_a_lost_session_raises_instead_of_waiting_forever(pg):
    events = scb.payment_events()
    failures: list[BaseException] = []

    def wait() -> None:
        try:
            next(events)
        except BaseException as error:  # noqa: BLE001 - inspected on the test's thread
            failures.append(error)

    waiter = threading.Thread(target=wait)
    waiter.start()
    time.sleep(0.2)
    pg.execute("SELECT pg_terminate_backend(%s)", (listener_pid(pg),))
    waiter.join(timeout=10)

    assert not waiter.is_alive(), "the listener still waits on a terminated session"
    assert [type(failure) for failure in failures] == [ConnectionError]
    assert str(failures[0]) == "Payment notification session lost"


@pytest.mark.parametrize("timeout, error", [(-1, ValueError), (float("nan"), ValueError), ("5", TypeError),
                                            (True, TypeError)])
def test_a_timeout_that_is_no_number_of_seconds_is_refused_before_connecting(pg, capfd, timeout, error):
    with pytest.raises(error, match="timeout"):
        scb.payment_events(timeout)
    assert "Connecting to PostgreSQL" not in capfd.readouterr().err


def test_other_threads_run_while_the_listener_waits(pg):
    events = scb.payment_events(timeout=0.6)
    with ticking() as ticks:
        started = time.monotonic()
        assert list(events) == []
        finished = time.monotonic()
    during = [t for t in ticks if started + 0.1 < t < finished - 0.1]
    assert len(during) >= 10, f"the ticker advanced {len(during)} times during a {finished - started:.2f} s wait"


def test_the_c_listener_hands_over_documents_and_times_out(pg):
    listener = lib.scb_payment_listener_open()
    assert listener
    document = ctypes.c_void_p()
    try:
        assert lib.scb_payment_listener_next(listener, 0, ctypes.byref(document)) == 0
        send(pg, '{"outcome": "unmatched"}')
        assert lib.scb_payment_listener_next(listener, 5000, ctypes.byref(document)) == 1
        assert json.loads(take_text(document.value)) == {"outcome": "unmatched"}
        started = time.monotonic()
        assert lib.scb_payment_listener_next(listener, 300, ctypes.byref(document)) == 0
        assert 0.29 <= time.monotonic() - started < 2.0
        assert lib.scb_payment_listener_next(None, 0, ctypes.byref(document)) == -1
        assert lib.scb_payment_listener_next(listener, 0, None) == -1
    finally:
        lib.scb_payment_listener_close(listener)
    lib.scb_payment_listener_close(None)
    assert pg.wait_for_client_connections(0) == 0


def test_listen_prints_one_document_a_line_and_ends_after_its_timeout(shop):
    paid = shop.paid(1001)
    command = [sys.executable, "-m", "halvenor_scb_lib", "listen", "--timeout", "2"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as process:
        try:
            said = ""
            while "listening for payment notifications" not in said and process.poll() is None:
                said = process.stderr.readline()
            answer = scb.confirm_payment(paid)
            line = process.stdout.readline()
            rest, errors = process.communicate(timeout=30)
        finally:
            process.kill()
    assert process.returncode == 0, errors
    assert json.loads(line) == notified(answer, paid) and rest == ""


def test_listen_without_a_database_exits_3(pg):
    done = subprocess.run([sys.executable, "-m", "halvenor_scb_lib", "listen", "--timeout", "1"],
                          env={**os.environ, "PGPORT": "9"}, capture_output=True, text=True,
                          timeout=60, check=False)
    assert (done.returncode, done.stdout) == (3, "")
    assert "error: Failed to listen for payment notifications" in done.stderr
