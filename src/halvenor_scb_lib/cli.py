"""Command line for operators: halvenor-scb --help (or python -m halvenor_scb_lib --help).

Every bank command prints the answer as JSON on standard output; the
library's log lines, messages and terminal QR codes go to standard error.

Exit status:
  0  the answer reports success
  1  the bank or the library reported a failure, or reconcile could not check an intent, or cancel-invoice-qr
     found the invoice paid (the answer is still printed)
  2  bad arguments
  3  internal failure, such as an unreachable database for invoice-qr or listen (nothing printed)
"""

from __future__ import annotations

import argparse
import datetime
import json
import logging
import sys
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

import halvenor_scb_lib as scb
from halvenor_scb_lib import demo, webhook
from halvenor_scb_lib.arguments import amount_text, check_id
from halvenor_scb_lib.qr_output import draw_qr, qr_payload_and_image, save_png
from halvenor_scb_lib.types import DatabaseCheck

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERNAL = 3

PROG = "halvenor-scb"
MASK = "***"


def _argument_type(check: Callable[[str], Any], metavar: str) -> Callable[[str], Any]:
    """An argparse type that reports the library's own validation message."""

    def convert(text: str) -> Any:
        try:
            return check(text)
        except (TypeError, ValueError) as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    convert.__name__ = metavar
    return convert


def _id(name: str) -> Callable[[str], Any]:
    return _argument_type(lambda text: check_id(text, name), name)


def _amount(text: str) -> str:
    amount_text(text)
    return text


def _date(text: str) -> datetime.date:
    try:
        return datetime.datetime.strptime(text, "%Y-%m-%d").date()
    except ValueError:
        raise ValueError(f"date must be written YYYY-MM-DD, got {text!r}") from None


def _at_least_one(name: str) -> Callable[[str], int]:
    def count(text: str) -> int:
        value = check_id(text, name)
        if value < 1:
            raise ValueError(f"{name} must be at least 1, got {value}")
        return value

    return _argument_type(count, name)


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = -1.0
    if not 0 <= seconds < float("inf"):
        raise ValueError(f"timeout must be a number of seconds, at least 0, got {text!r}")
    return seconds


def _port(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or int(text) > 65535:
        raise ValueError(f"port must be a number from 0 to 65535, got {text!r}")
    return int(text)


AMOUNT = _argument_type(_amount, "amount")
DATE = _argument_type(_date, "date")
DAYS = _at_least_one("days")
MAX_RATE = _at_least_one("max_rate")
PORT = _argument_type(_port, "port")
SECONDS = _argument_type(_seconds, "seconds")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=(
            "Bill-payment QR codes and payment inquiry against the ERP database given by the PG* "
            "environment variables. Answers are printed as JSON."
        ),
        epilog="Exit status: 0 success, 1 failure reported by the bank or the library, 2 bad arguments, "
        "3 internal failure.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {scb.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    qr = commands.add_parser("qr", help="create a QR for a bank account of the ERP", description=(
        "Create a bill-payment QR for a bank account (res_partner_bank id); its configuration and "
        "cached access token come from the database."
    ))
    qr.add_argument("bank_account_id", type=_id("bank_account_id"), metavar="BANK_ACCOUNT_ID")
    qr.add_argument("amount", type=AMOUNT, metavar="AMOUNT", help="amount in baht, at most two decimals")
    qr.add_argument("ref1", metavar="REF1", help="first reference (A-Z, 0-9, at most 20 characters)")
    qr.add_argument("ref2", metavar="REF2", help="second reference")
    qr.add_argument("--ref3", default="SCB", help="third reference (default: %(default)s)")
    _add_qr_output(qr)

    invoice = commands.add_parser("invoice-qr", help="the QR of an invoice, created once and then reused", description=(
        "The payment QR of an invoice: created at the bank on the first call and stored as a payment "
        "intent; later calls for the same invoice and company print the stored intent without a bank call."
    ))
    invoice.add_argument("--invoice", required=True, type=_id("invoice_id"), metavar="ID", help="invoice id")
    invoice.add_argument("--company", required=True, type=_id("company_id"), metavar="ID", help="company id")
    invoice.add_argument("--config", required=True, type=_id("config_id"), metavar="ID",
                         help="scb_api_config id recorded on the intent")
    invoice.add_argument("--bank-account", required=True, type=_id("bank_account_id"), metavar="ID",
                         help="res_partner_bank id whose configuration creates the QR")
    invoice.add_argument("--reference", required=True, help="payment reference (A-Z, 0-9, at most 20 characters)")
    invoice.add_argument("--amount", required=True, type=AMOUNT, help="amount in baht, at most two decimals")
    invoice.add_argument("--ref3", default="SCB", help=(
        "third reference: the Reference-3 prefix registered for the payment confirmation URL, perhaps followed by "
        "a value (default: %(default)s)"))
    _add_qr_output(invoice)

    inquiry = commands.add_parser("inquiry", help="look up bill payments at the bank", description=(
        "Ask the bank for bill payments, by transaction id or by biller id and references."
    ))
    inquiry.add_argument("config_id", type=_id("config_id"), metavar="CONFIG_ID", help="scb_api_config id")
    inquiry.add_argument("--transaction-ref", metavar="ID",
                         help="the partner transaction id a payment was made with (partnerTransactionId)")
    inquiry.add_argument("--biller-id", metavar="ID", help="biller id (with --reference1)")
    inquiry.add_argument("--reference1", metavar="REF")
    inquiry.add_argument("--reference2", metavar="REF")
    inquiry.add_argument("--amount", type=AMOUNT, help="only payments of this amount")
    inquiry.add_argument("--date", type=DATE, metavar="YYYY-MM-DD",
                         help="payment date (default: today in Thailand, UTC+07:00)")
    inquiry.set_defaults(parser=inquiry)

    token = commands.add_parser("token", help="check a configuration's credentials by fetching a token", description=(
        "Fetch a new access token for a configuration. The token is not stored; it is masked in the "
        "output unless --show-token is given."
    ))
    token.add_argument("config_id", type=_id("config_id"), metavar="CONFIG_ID", help="scb_api_config id")
    token.add_argument("--show-token", action="store_true", help="print the access token instead of ***")

    reconcile = commands.add_parser("reconcile", help="confirm the paid invoices whose confirmation never arrived",
                                    description=(
        "Check every pending payment intent of a configuration created within the last N days (in Thailand's "
        "time, today included) with the bank's inquiry, and confirm those paid. Exit status 1 when the run or the "
        "check of an intent failed."
    ))
    reconcile.add_argument("config_id", type=_id("config_id"), metavar="CONFIG_ID", help="scb_api_config id")
    reconcile.add_argument("--days", type=DAYS, default=3, metavar="N", help="days to look back (default: %(default)s)")
    reconcile.add_argument("--max-rate", type=MAX_RATE, metavar="N", help=(
        "start at most N inquiries a second, for a bank that limits them (its sandbox: 5); default: no pacing"))

    cancel = commands.add_parser("cancel-invoice-qr", help="cancel an invoice's pending QR", description=(
        "Mark the invoice's pending payment intents cancelled, so that the next invoice-qr creates a new QR at the "
        "bank. A confirmed intent is never cancelled: it is listed under data.confirmed and the exit status is 1."
    ))
    cancel.add_argument("invoice_id", type=_id("invoice_id"), metavar="INVOICE_ID")
    cancel.add_argument("company_id", type=_id("company_id"), metavar="COMPANY_ID")

    listen = commands.add_parser("listen", help="print the payment notifications as they come", description=(
        "Listen for the module's payment notifications (channel scb_payment) on a connection of its own and print "
        "each as one JSON document per line. Needs a direct or session-pooled connection to the database."
    ))
    listen.add_argument("--timeout", type=SECONDS, metavar="S",
                        help="stop after S seconds without a notification (default: never; Ctrl-C stops)")

    webhook = commands.add_parser("webhook", help="serve the payment confirmation webhook (development)",
                                  description=(
        "Serve halvenor_scb_lib.webhook.application, which takes the bank's payment confirmations, with "
        "wsgiref until interrupted. For development: in production mount the application in a WSGI server."
    ))
    webhook.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    webhook.add_argument("--port", type=PORT, default=8080, help="port to listen on, 0 for any free one "
                         "(default: %(default)s)")

    check = commands.add_parser("check-database", help="check the ERP database for the module, changing nothing",
                                description=(
        "Report each table or column the module uses that is missing or of another type, each recommended index "
        "that no existing index covers, each privilege the role lacks, and the server's time zone, with the "
        "statements that would mend them. Nothing is changed. Exit status 0 when all is in place, else 1."
    ))
    check.add_argument("--json", action="store_true", help="print the check's answer as JSON")

    # Parsed by the sandbox's own command line; listed here for --help.
    commands.add_parser(
        "sandbox", add_help=False, help="run the offline bank sandbox (halvenor-scb sandbox --help)"
    )

    demo.add_arguments(
        commands.add_parser("demo", help="run the whole flow against a throwaway database and the sandbox"))
    return parser


def _add_qr_output(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--png", type=Path, metavar="FILE", help=(
        "save the QR image as a PNG file; an image of the bank's that is not PNG is drawn again from the payload"))
    parser.add_argument("--show-qr", action="store_true", help="draw the QR in the terminal (on standard error)")


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments[:1] == ["sandbox"]:
        return _run_sandbox(arguments[1:])
    parser = build_parser()
    options = parser.parse_args(arguments)
    if options.command == "demo":
        return demo.run(options.out, terminal_qr=not options.no_terminal_qr, verbose=options.verbose)
    if options.command == "webhook":
        return _serve_webhook(options.host, options.port)
    if options.command == "check-database":
        return _check_database(options.json)
    if options.command == "listen":
        return _listen(options.timeout)
    if options.command == "inquiry" and not (options.transaction_ref or (options.biller_id and options.reference1)):
        options.parser.error("give --transaction-ref, or --biller-id and --reference1")
    try:
        answer = _call(options)
    except RuntimeError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return EXIT_INTERNAL
    except ValueError as error:  # the bank answered something that is not JSON
        print(f"{PROG}: error: unreadable answer: {error}", file=sys.stderr)
        return EXIT_INTERNAL
    print(json.dumps(_masked(answer, options), indent=2, ensure_ascii=False), flush=True)
    if not scb.is_success(answer) or (options.command == "reconcile" and _an_intent_check_failed(answer)) or (
            options.command == "cancel-invoice-qr" and answer["data"]["confirmed"]):
        return EXIT_FAILURE
    if options.command in ("qr", "invoice-qr"):
        return _qr_output(answer, options.png, options.show_qr)
    return EXIT_OK


def _call(options: argparse.Namespace) -> Mapping[str, Any]:
    if options.command == "qr":
        return scb.create_qr_by_bank_account(
            options.bank_account_id, options.amount, options.ref1, options.ref2, options.ref3
        )
    if options.command == "invoice-qr":
        return scb.invoice_qr(
            options.invoice, options.company, options.config, options.reference, options.amount, options.bank_account,
            ref3=options.ref3,
        )
    if options.command == "inquiry":
        return scb.payment_inquiry(
            options.config_id,
            transaction_ref=options.transaction_ref,
            biller_id=options.biller_id,
            reference1=options.reference1,
            reference2=options.reference2,
            amount=options.amount,
            transaction_date=options.date,
        )
    if options.command == "token":
        return scb.refresh_token(options.config_id)
    if options.command == "reconcile":
        return scb.reconcile_intents(options.config_id, options.days, options.max_rate)
    if options.command == "cancel-invoice-qr":
        return scb.cancel_invoice_qr(options.invoice_id, options.company_id)
    raise AssertionError(options.command)


def _check_database(as_json: bool) -> int:
    try:
        answer = scb.check_database()
    except RuntimeError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return EXIT_INTERNAL
    check = answer["data"] if scb.is_success(answer) else None
    if as_json:
        print(json.dumps(answer, indent=2, ensure_ascii=False), flush=True)
    elif check is not None:
        print(_check_report(check), flush=True)
    else:
        print(f"{PROG}: error: {answer['status']['code']} {answer['status']['description']}", file=sys.stderr)
    return EXIT_OK if check is not None and check["ok"] else EXIT_FAILURE


def _check_report(check: DatabaseCheck) -> str:
    zone = check["server_time_zone"]
    lines = [f"role {check['role']}; server time zone {zone}" + (
        " (UTC: sessions need no set-up)" if check["server_time_zone_is_utc"] else
        f": every new session sends SET TimeZone TO 'UTC' (ALTER ROLE {check['role']} SET TimeZone = 'UTC' "
        "would spare it)")]
    problems = check["problems"]
    if not problems:
        return "\n".join([*lines, "every table, column, index and privilege the module uses is in place"])
    lines.append(f"{len(problems)} problem(s):")
    lines += [f"  {problem['kind']} {problem['name']} ({problem['table']}): {problem['description']}"
              for problem in problems]
    lines.append("statements that would mend them:")
    lines += [f"  {problem['mend']};" for problem in problems]
    return "\n".join(lines)


def _an_intent_check_failed(answer: Mapping[str, Any]) -> bool:
    """Whether a reconciliation's answer holds an intent whose check failed."""
    checks = answer.get("data")
    return isinstance(checks, list) and any(
        isinstance(check, Mapping) and check.get("outcome") == "error" for check in checks)


def _masked(answer: Mapping[str, Any], options: argparse.Namespace) -> Mapping[str, Any]:
    if options.command != "token" or options.show_token:
        return answer
    data = answer.get("data")
    if not isinstance(data, dict) or "accessToken" not in data:
        return answer
    return {**answer, "data": {**data, "accessToken": MASK}}


def _qr_output(answer: Mapping[str, Any], png: Path | None, show: bool) -> int:
    payload, image = qr_payload_and_image(answer)
    status = EXIT_OK
    if show:
        if payload:
            draw_qr(payload, sys.stderr)
        else:
            print(f"{PROG}: the answer holds no QR payload to draw", file=sys.stderr)
            status = EXIT_FAILURE
    if png is not None:
        try:
            redrawn = save_png(payload, image, png)
        except (OSError, ValueError) as error:
            print(f"{PROG}: error: cannot save the QR image: {error}", file=sys.stderr)
            return EXIT_FAILURE
        if redrawn is not None:
            print(f"{PROG}: {redrawn}: drew the PNG from the payload", file=sys.stderr)
        print(f"{PROG}: QR image saved to {png}", file=sys.stderr)
    return status


def _serve_webhook(host: str, port: int) -> int:
    logging.basicConfig(level=logging.INFO, stream=sys.stderr, format="%(asctime)s %(name)s %(message)s")
    try:
        server = webhook.make_server(host, port)
    except OSError as error:
        print(f"{PROG}: error: cannot listen on {host} port {port}: {error}", file=sys.stderr)
        return EXIT_FAILURE
    with server:
        url = f"http://{server.server_name}:{server.server_port}/"
        print(f"{PROG}: payment confirmation webhook on {url} (Ctrl-C stops it)", file=sys.stderr, flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass
    return EXIT_OK


def _listen(timeout: float | None) -> int:
    try:
        events = scb.payment_events(timeout)
        print(f"{PROG}: listening for payment notifications (Ctrl-C stops)", file=sys.stderr, flush=True)
        for event in events:
            print(json.dumps(event, ensure_ascii=False), flush=True)
    except ConnectionError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return EXIT_INTERNAL
    except KeyboardInterrupt:
        pass
    return EXIT_OK


def _run_sandbox(argv: list[str]) -> int:
    try:
        from halvenor_scb_lib.sandbox.__main__ import main as sandbox_main
    except ImportError as error:
        print(
            f"{PROG}: error: the sandbox needs the optional dependencies: pip install 'halvenor_scb_lib[sandbox]' "
            f"({error})",
            file=sys.stderr,
        )
        return EXIT_USAGE
    return sandbox_main(argv)


if __name__ == "__main__":
    sys.exit(main())
