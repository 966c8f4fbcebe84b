"""The whole flow on this machine, with nothing to set up: halvenor-scb demo [--out DIR].

Starts a throwaway PostgreSQL holding the ERP tables with one bank account
and its configuration, the offline bank sandbox, and the payment confirmation
webhook as the sandbox application's callback; then creates a QR for the bank
account, creates an invoice QR twice (the second comes from the database),
pays the invoice through the sandbox, finds the payment with a bill-payment
inquiry and sees the invoice confirmed by the bank's callback through the
webhook; a second invoice, whose callback the sandbox drops, is confirmed by
reconciling the pending intents. The ERP's payment listener, started before
the payments, hears both confirmations. Everything it started is stopped at
the end. Exit status 0 only when every step succeeded. The library's log
lines go to DIR/library.log, or with --verbose to standard error.

Needs PostgreSQL's server binaries and the optional dependencies (cryptography,
segno, psycopg).
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
import threading
from collections.abc import Iterator, Mapping
from contextlib import ExitStack, contextmanager
from decimal import Decimal
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO
from wsgiref.simple_server import WSGIServer

import halvenor_scb_lib as scb
from halvenor_scb_lib.qr_output import draw_qr, qr_payload_and_image, save_image, save_png

if TYPE_CHECKING:  # the sandbox needs the optional dependencies, imported when the demo starts it
    from halvenor_scb_lib.sandbox import CallbackDelivery

APPLICATION_KEY = "demo-application-key"
APPLICATION_SECRET = "demo-application-secret"
BILLER_ID = "010556012345678"
ACCOUNT_AMOUNT, ACCOUNT_REF1, ACCOUNT_REF2 = Decimal("100.50"), "DEMO0001", "WALKIN"
INVOICE_ID, INVOICE_REFERENCE, INVOICE_AMOUNT = 1001, "INV1001", Decimal("250.00")
UNANNOUNCED_ID, UNANNOUNCED_REFERENCE, UNANNOUNCED_AMOUNT = 1002, "INV1002", Decimal("480.00")
WEBHOOK_PATH = "/scb/payment-confirmation"
# The Reference-3 prefix registered with the webhook's URL, which the invoice QRs carry as their ref3.
REF3_PREFIX = "SCB"
CALLBACK_WAIT = 30.0
ENVIRONMENT_PREFIXES = ("PG", "SCB_SANDBOX_HOST", "SCB_PRODUCTION_HOST", "CURL_CA_BUNDLE")


class StepFailed(Exception):
    pass


class Demo:
    def __init__(self, out_dir: Path, terminal_qr: bool, out: TextIO) -> None:
        self.out_dir = out_dir
        self.terminal_qr = terminal_qr
        self.out = out
        self.number = 0
        self.pg: Any = None
        self.sandbox: Any = None
        self.events: Iterator[Mapping[str, Any]] = iter(())
        self.ids: dict[str, int] = {}

    def say(self, text: str = "") -> None:
        print(text, file=self.out, flush=True)

    @contextmanager
    def step(self, title: str) -> Iterator[None]:
        self.number += 1
        self.say(f"[{self.number}] {title}")
        try:
            yield
        except StepFailed as failure:
            self.say(f"    FAILED: {failure}")
            raise
        except Exception as error:
            self.say(f"    FAILED: {type(error).__name__}: {error}")
            raise StepFailed(str(error)) from error

    def detail(self, text: str) -> None:
        self.say(f"    {text}")

    def run(self) -> None:
        with ExitStack() as stack:
            stack.callback(self.say, "Stopped everything the demo started.")
            self.start_database(stack)
            self.start_sandbox(stack)
            stack.enter_context(_environment({**self.pg.environ(), **self.sandbox.environ()}))
            self.start_webhook(stack)
            self.account_qr()
            first = self.first_invoice_qr()
            self.second_invoice_qr(first)
            self.start_listener(stack)
            payment = self.pay(first)
            self.inquiry(payment)
            self.confirmed_through_webhook(payment)
            self.reconcile(self.paid_without_callback())

    def start_database(self, stack: ExitStack) -> None:
        from halvenor_scb_lib.devdb import ThrowawayPostgres

        with self.step("Starting a throwaway PostgreSQL with the ERP tables"):
            self.pg = stack.enter_context(ThrowawayPostgres())
            self.pg.create_erp_schema()
            self.ids = self.pg.seed_demo(
                api_key=APPLICATION_KEY, api_secret=APPLICATION_SECRET, biller_id=BILLER_ID, application_id="DEMO"
            )
            self.detail(f"database {self.pg.dbname} on {self.pg.host} port {self.pg.port}")
            self.detail(
                f"bank account {self.ids['bank_account_id']} of company {self.ids['company_id']}, biller id "
                f"{BILLER_ID}, configuration {self.ids['config_id']} (environment sandbox)"
            )

    def start_sandbox(self, stack: ExitStack) -> None:
        from halvenor_scb_lib.sandbox import Sandbox

        with self.step("Starting the bank sandbox"):
            self.sandbox = stack.enter_context(Sandbox(applications={APPLICATION_KEY: APPLICATION_SECRET}))
            self.detail(f"listening on https://{self.sandbox.address}, CA file {self.sandbox.ca_file}")

    def start_webhook(self, stack: ExitStack) -> None:
        from halvenor_scb_lib import webhook

        with self.step("Serving the ERP's payment confirmation webhook, as the sandbox application's callback"):
            server = stack.enter_context(_served(webhook.make_server()))
            url = f"http://{server.server_name}:{server.server_port}{WEBHOOK_PATH}"
            self.sandbox.register_application(APPLICATION_KEY, APPLICATION_SECRET, callback_url=url,
                                              ref3_prefix=REF3_PREFIX)
            self.detail(f"halvenor_scb_lib.webhook.application on {url}; the sandbox POSTs there the confirmation of "
                        f"every payment whose ref3 starts with {REF3_PREFIX}")

    def start_listener(self, stack: ExitStack) -> None:
        with self.step("Starting the ERP's payment listener: LISTEN scb_payment on a connection of its own"):
            events = scb.payment_events(timeout=CALLBACK_WAIT)
            stack.callback(events.close)
            self.events = events
            self.detail("halvenor_scb_lib.payment_events() listens from now on; the events are read below")

    def heard(self, invoice_id: int) -> None:
        """Reads the listener's events up to the confirmation of the invoice, as the ERP's worker would."""
        for event in self.events:
            self.detail(f"the ERP's listener heard: {_compact(event)}")
            if event["outcome"] == "confirmed" and event["invoice_id"] == invoice_id:
                return
        raise StepFailed(f"the listener heard no confirmation of invoice {invoice_id} in {CALLBACK_WAIT:.0f} seconds")

    def account_qr(self) -> None:
        amount, ref1, ref2 = ACCOUNT_AMOUNT, ACCOUNT_REF1, ACCOUNT_REF2
        with self.step(f"Creating a QR for bank account {self.ids['bank_account_id']}: {amount} THB, {ref1}/{ref2}"):
            before = len(self.sandbox.requests)
            answer = scb.create_qr_by_bank_account(self.ids["bank_account_id"], amount, ref1, ref2)
            _require_success(answer)
            self.detail(f"bank requests: {', '.join(self._requests_since(before))}")
            self.show_qr(answer, "bank-account-qr")

    def first_invoice_qr(self) -> Mapping[str, Any]:
        with self.step(f"Creating the QR of invoice {INVOICE_ID} ({INVOICE_AMOUNT} THB)"):
            before = len(self.sandbox.requests)
            answer = self.invoice_qr(INVOICE_ID, INVOICE_REFERENCE, INVOICE_AMOUNT)
            if "status" in answer:
                raise StepFailed(f"expected a new intent, got a stored one: {_compact(answer)}")
            self.detail(f"stored as payment intent {answer['intent_id']}")
            self.detail(f"bank requests: {', '.join(self._requests_since(before))}")
            self.show_qr(answer, "invoice-qr")
            return answer

    def second_invoice_qr(self, first: Mapping[str, Any]) -> None:
        with self.step(f"Asking again for the QR of invoice {INVOICE_ID}"):
            before = len(self.sandbox.requests)
            again = self.invoice_qr(INVOICE_ID, INVOICE_REFERENCE, INVOICE_AMOUNT)
            seen = self._requests_since(before)
            if seen:
                raise StepFailed(f"the bank was called again: {', '.join(seen)}")
            if again.get("status") != "pending" or again.get("intent_id") != first["intent_id"]:
                raise StepFailed(f"expected stored intent {first['intent_id']} pending, got {_compact(again)}")
            if again.get("qr_payload") != first.get("qr_payload"):
                raise StepFailed("the stored QR differs from the one created")
            self.detail(
                f"intent {again['intent_id']} ({again['status']}) came from the database; "
                "the sandbox saw no new request"
            )

    def pay(self, invoice: Mapping[str, Any]) -> Mapping[str, Any]:
        with self.step("Paying the invoice QR through the sandbox, from its payload as a banking app scans it"):
            payment: Mapping[str, Any] = self.sandbox.pay(invoice["qr_payload"])
            self.detail(
                f"paid {payment['amount']} THB to biller {payment['payeeProxyId']} ({payment['payeeName']}) with "
                f"references {payment['billPaymentRef1']}/{payment['billPaymentRef2']} at "
                f"{payment['transactionDateandTime']}, bank transaction {payment['transactionId']}"
            )
            return payment

    def inquiry(self, payment: Mapping[str, Any]) -> None:
        with self.step(f"Bill-payment inquiry for biller {BILLER_ID}, reference {INVOICE_REFERENCE}"):
            # The payment's date in Thailand, where the bank files it, so that a run across midnight still finds it.
            answer = scb.payment_inquiry(
                self.ids["config_id"],
                biller_id=BILLER_ID,
                reference1=INVOICE_REFERENCE,
                reference2=str(payment["billPaymentRef2"]),
                transaction_date=str(payment["transactionDateandTime"])[:10],
            )
            _require_success(answer)
            transaction_id = payment["transactionId"]
            found = [p for p in answer.get("data") or [] if p.get("transactionId") == transaction_id]
            if not found:
                raise StepFailed(f"the inquiry did not find transaction {transaction_id}: {_compact(answer)}")
            self.detail(
                f"found the payment: transaction {found[0]['transactionId']}, {found[0]['amount']} THB, "
                f"paid at {found[0]['transactionDateandTime']}"
            )

    def confirmed_through_webhook(self, payment: Mapping[str, Any]) -> None:
        with self.step(f"Waiting for the bank's payment confirmation to reach the webhook and confirm invoice "
                       f"{INVOICE_ID}"):
            delivery = self.callback_of(payment)
            if delivery.outcome != "acknowledged":
                raise StepFailed(f"the callback was {delivery.outcome}: {delivery.attempts}")
            attempt = delivery.attempts[-1]
            self.detail(f"the sandbox POSTed the payment's record to the webhook ({len(delivery.attempts)} "
                        f"attempt(s)); it answered HTTP {attempt.status} {_compact(attempt.answer)}")
            self.show_intent(INVOICE_ID, "confirmed", payment["transactionId"])
            self.heard(INVOICE_ID)

    def paid_without_callback(self) -> Mapping[str, Any]:
        with self.step(f"Invoice {UNANNOUNCED_ID} ({UNANNOUNCED_AMOUNT} THB): QR created and paid, its payment "
                       "confirmation lost (the sandbox drops the callback)"):
            invoice = self.invoice_qr(UNANNOUNCED_ID, UNANNOUNCED_REFERENCE, UNANNOUNCED_AMOUNT)
            self.sandbox.fault("callback", drop=True, times=1)
            payment: Mapping[str, Any] = self.sandbox.pay(invoice["qr_payload"])
            delivery = self.callback_of(payment)
            if delivery.outcome != "dropped" or delivery.attempts:
                raise StepFailed(f"expected the callback dropped, it was {delivery.outcome}")
            self.detail(f"paid {payment['amount']} THB, bank transaction {payment['transactionId']}; "
                        "no callback was sent")
            self.show_intent(UNANNOUNCED_ID, "pending")
            return payment

    def reconcile(self, payment: Mapping[str, Any]) -> None:
        config_id = self.ids["config_id"]
        with self.step(f"Reconciling the pending intents of configuration {config_id} with the bank's inquiry"):
            answer = scb.reconcile_intents(config_id, days=1)
            _require_success(answer)
            for check in answer["data"] or []:
                self.detail(f"intent {check['intent_id']} of invoice {check['invoice_id']}: {check['outcome']}"
                            f" (transaction {check['transaction_id']})")
            if not any(check["invoice_id"] == UNANNOUNCED_ID and check["outcome"] == "confirmed"
                       for check in answer["data"] or []):
                raise StepFailed(f"invoice {UNANNOUNCED_ID} was not confirmed: {_compact(answer)}")
            self.show_intent(UNANNOUNCED_ID, "confirmed", payment["transactionId"])
            self.heard(UNANNOUNCED_ID)

    def callback_of(self, payment: Mapping[str, Any]) -> CallbackDelivery:
        """The sandbox's callback of a payment, once its attempts are over."""
        if not self.sandbox.wait_for_callbacks(CALLBACK_WAIT):
            raise StepFailed(f"the callbacks were still being sent after {CALLBACK_WAIT:.0f} seconds")
        sent: list[CallbackDelivery] = [
            d for d in self.sandbox.callbacks if d.record["transactionId"] == payment["transactionId"]]
        if not sent:
            raise StepFailed(f"the sandbox made no callback for transaction {payment['transactionId']}")
        return sent[0]

    def show_intent(self, invoice_id: int, status: str, transaction_id: str | None = None) -> None:
        """The invoice's payment intent as the ERP reads it, which must have this status (and transaction id)."""
        rows = self.pg.execute(
            "SELECT id, status, transaction_id FROM scb_payment_intent WHERE invoice_id = %s AND company_id = %s",
            (invoice_id, self.ids["company_id"]),
        )
        if len(rows) != 1 or rows[0][1] != status or transaction_id not in (None, rows[0][2]):
            raise StepFailed(f"expected invoice {invoice_id}'s intent {status}, with transaction {transaction_id}; "
                             f"the database holds {rows}")
        self.detail(f"payment intent {rows[0][0]} of invoice {invoice_id} in the database: status {status}"
                    + (f", transaction {transaction_id}" if transaction_id else ""))

    def invoice_qr(self, invoice_id: int, reference: str, amount: Decimal) -> Mapping[str, Any]:
        answer = scb.invoice_qr(
            invoice_id, self.ids["company_id"], self.ids["config_id"], reference, amount, self.ids["bank_account_id"],
            ref3=REF3_PREFIX,
        )
        _require_success(answer)
        return answer

    def show_qr(self, answer: Mapping[str, Any], stem: str) -> None:
        payload, image = qr_payload_and_image(answer)
        if not payload or not image:
            raise StepFailed(f"the answer holds no QR: {_compact(answer)}")
        saved = save_image(image, self.out_dir / stem)
        png = self.out_dir / f"{stem}.png"
        if saved != png:
            save_png(payload, image, png)
        self.detail(f"payload: {payload}")
        self.detail(f"image saved to {saved}" + ("" if saved == png else f", and drawn as a PNG to {png}"))
        if self.terminal_qr:
            draw_qr(payload, self.out)

    def _requests_since(self, index: int) -> list[str]:
        return [f"{r.method} {r.path}" for r in self.sandbox.requests[index:]]


def _require_success(answer: Mapping[str, Any]) -> None:
    if not scb.is_success(answer):
        raise StepFailed(f"the answer reports a failure: {_compact(answer)}")


def _compact(answer: Any) -> str:
    text = json.dumps(answer, ensure_ascii=False)
    return text if len(text) <= 400 else text[:400] + "..."


@contextmanager
def _served(server: WSGIServer) -> Iterator[WSGIServer]:
    """The server answering requests in a thread of its own until the block ends."""
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, name="demo-webhook",
                              daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        thread.join()
        server.server_close()


@contextmanager
def _environment(values: Mapping[str, str]) -> Iterator[None]:
    """Point the library at the demo's database and bank, and put the caller's environment back afterwards."""
    saved = {name: value for name, value in os.environ.items() if name.startswith(ENVIRONMENT_PREFIXES)}
    # A PGPASSWORD or PGSERVICE of the caller's own must not leak into the demo's connections.
    for name in saved:
        del os.environ[name]
    os.environ.update(values)
    try:
        yield
    finally:
        for name in [name for name in os.environ if name.startswith(ENVIRONMENT_PREFIXES)]:
            del os.environ[name]
        os.environ.update(saved)


@contextmanager
def _library_log(path: Path) -> Iterator[None]:
    """The library's log lines (and the webhook's) into a file for the length of the block, then back to standard
    error."""
    path.parent.mkdir(parents=True, exist_ok=True)
    handler = logging.FileHandler(path, mode="w", encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
    logger = logging.getLogger("halvenor_scb_lib")
    saved = logger.level, logger.propagate
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    scb.use_python_logging()
    try:
        yield
    finally:
        scb.use_python_logging(False)
        logger.removeHandler(handler)
        logger.level, logger.propagate = saved
        handler.close()


def run(out_dir: Path = Path("demo-out"), *, terminal_qr: bool = True, out: TextIO | None = None,
        verbose: bool = False) -> int:
    """Run the demo; 0 when every step succeeded, 1 otherwise. The library's log lines go to
    ``out_dir/library.log``, or to standard error when ``verbose``."""
    stream = out or sys.stdout
    demo = Demo(out_dir, terminal_qr, stream)
    try:
        with ExitStack() as logs:
            if not verbose:
                logs.enter_context(_library_log(out_dir / "library.log"))
            demo.run()
    except StepFailed:
        demo.say(f"Demo failed at step {demo.number}.")
        return 1
    except ImportError as error:
        demo.say(f"The demo needs the optional dependencies (pip install 'halvenor_scb_lib[test]'): {error}")
        return 1
    except KeyboardInterrupt:
        demo.say("Interrupted.")
        return 130
    logged = "" if verbose else f", the library's log lines in {out_dir / 'library.log'}"
    demo.say(f"Demo finished: every step succeeded. QR images are in {out_dir}/{logged}.")
    return 0


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The demo's options, on its own command line and as the command line's demo command."""
    parser.add_argument("--out", type=Path, default=Path("demo-out"), metavar="DIR",
                        help="directory for the QR images (default: %(default)s)")
    parser.add_argument("--no-terminal-qr", action="store_true", help="do not draw the QR codes in the terminal")
    parser.add_argument("--verbose", action="store_true",
                        help="the library's log lines on standard error instead of DIR/library.log")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="halvenor-scb demo", description=__doc__.splitlines()[0])
    add_arguments(parser)
    options = parser.parse_args(sys.argv[1:] if argv is None else argv)
    return run(options.out, terminal_qr=not options.no_terminal_qr, verbose=options.verbose)


if __name__ == "__main__":
    sys.exit(main())
