"""Run the bank sandbox until interrupted: python -m halvenor_scb_lib.sandbox --help"""

from __future__ import annotations

import argparse
import logging
import shlex
import signal
import sys
import threading
from collections.abc import Callable, Sequence

from .bank import DEFAULT_REF3_PREFIX, TOKEN_REJECTION_CODES, UNPAID_ANSWERS, BankOptions, check_ref3_prefix
from .callbacks import check_callback_url
from .emvco import (
    DEFAULT_MERCHANT_CATEGORY,
    DEFAULT_MERCHANT_NAME,
    IMAGE_FORMATS,
    check_merchant_category,
    check_merchant_name,
)
from .server import DEFAULT_APPLICATIONS, Sandbox


def application(text: str) -> tuple[str, str]:
    key, separator, secret = text.partition(":")
    if not separator or not key or not secret:
        raise argparse.ArgumentTypeError(f"expected KEY:SECRET, got {text!r}")
    return key, secret


def rate(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of requests a second, at least 1, got {text!r}")
    return int(text)


def checked(check: Callable[[str], str]) -> Callable[[str], str]:
    def convert(text: str) -> str:
        try:
            return check(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    convert.__name__ = check.__name__
    return convert


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m halvenor_scb_lib.sandbox",
        description="Serve an offline stand-in for the bank's partner API over HTTPS on 127.0.0.1.",
    )
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: any free port)")
    parser.add_argument("--ca-dir", help="directory for the generated certificates (default: a temporary one)")
    parser.add_argument("--token-lifetime", type=int, default=1800, metavar="S", help="access token lifetime")
    parser.add_argument(
        "--app",
        type=application,
        action="append",
        default=[],
        metavar="KEY:SECRET",
        help=f"register an application (repeatable; default: {':'.join(*DEFAULT_APPLICATIONS.items())})",
    )
    parser.add_argument(
        "--no-keep-alive",
        dest="keep_alive",
        action="store_false",
        help="close the connection after every answer (default: keep it open after the bank's own answers)",
    )
    parser.add_argument(
        "--qr-transaction-ids",
        action="store_true",
        help="QR answers also carry a transactionId (the bank's v1 answer has qrRawData and qrImage only)",
    )
    parser.add_argument(
        "--rejected-token-code",
        type=int,
        choices=TOKEN_REJECTION_CODES,
        default=BankOptions.rejected_token_code,
        help="code of the 401 answer to an invalid or expired access token (default: %(default)s)",
    )
    parser.add_argument(
        "--merchant-category",
        type=checked(check_merchant_category),
        default=DEFAULT_MERCHANT_CATEGORY,
        metavar="MCC",
        help="merchant category code of the payloads, tag 52 (default: %(default)s)",
    )
    parser.add_argument(
        "--merchant-name",
        type=checked(check_merchant_name),
        default=DEFAULT_MERCHANT_NAME,
        metavar="NAME",
        help="merchant name of the payloads, tag 59 (default: %(default)s)",
    )
    parser.add_argument(
        "--callback-url",
        type=checked(check_callback_url),
        metavar="URL",
        help="POST each payment's confirmation to URL (https://, or http:// to a loopback address), for every "
        "application",
    )
    parser.add_argument(
        "--ref3-prefix",
        type=checked(check_ref3_prefix),
        default=DEFAULT_REF3_PREFIX,
        metavar="PREFIX",
        help="the Reference-3 prefix registered with --callback-url: only payments whose ref3 starts with it are "
        "confirmed there (default: %(default)s; an empty one takes all)",
    )
    parser.add_argument(
        "--callback-retries",
        type=int,
        default=BankOptions.callback_retries,
        metavar="N",
        help="send a callback not acknowledged with resCode 00 again N more times (default: %(default)s)",
    )
    parser.add_argument(
        "--callback-retry-delay",
        type=float,
        default=BankOptions.callback_retry_delay,
        metavar="S",
        help="seconds between the attempts of a callback (default: %(default)s)",
    )
    parser.add_argument(
        "--qr-image-format",
        choices=IMAGE_FORMATS,
        default=BankOptions.qr_image_format,
        help="format of the QR answers' image (default: %(default)s, as the bank's)",
    )
    parser.add_argument(
        "--unpaid-inquiry",
        choices=UNPAID_ANSWERS,
        default=BankOptions.unpaid_inquiry,
        help="the inquiry's answer when nothing was paid: an empty list, or 404 with code 1104 (default: %(default)s)",
    )
    parser.add_argument(
        "--rate-limit",
        type=rate,
        metavar="N",
        help="answer 429 with code 9900 past N requests a second per API and application (the bank's sandbox: 5)",
    )
    parser.add_argument(
        "--require-client-certificate",
        action="store_true",
        help="refuse the TLS handshake of a client without the sandbox's client certificate; its files are "
        "printed as SCB_CLIENT_CERT and SCB_CLIENT_KEY",
    )
    parser.add_argument("-v", "--verbose", action="store_true", help="log every request on stderr")
    arguments = parser.parse_args(argv)
    if arguments.callback_retries < 0 or not arguments.callback_retry_delay >= 0:
        parser.error("--callback-retries and --callback-retry-delay must not be negative")
    return arguments


def shell_lines(sandbox: Sandbox) -> list[str]:
    environ = sandbox.environ()
    if sandbox.options.require_client_certificate:
        environ.update(sandbox.client_environ())
    exports = [f"export {name}={shlex.quote(value)}" for name, value in environ.items()]
    apps = [
        f"# application key {shlex.quote(key)} secret {shlex.quote(secret)}"
        for key, secret in sandbox.applications.items()
    ]
    return exports + apps


def wait_for_stop_signal() -> None:
    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    while not stop.wait(1.0):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    logging.basicConfig(level=logging.INFO if arguments.verbose else logging.WARNING, stream=sys.stderr)
    applications = dict(arguments.app) if arguments.app else None
    sandbox = Sandbox(
        port=arguments.port,
        ca_dir=arguments.ca_dir,
        token_lifetime=arguments.token_lifetime,
        applications=applications,
        keep_alive=arguments.keep_alive,
        options=BankOptions(
            qr_transaction_ids=arguments.qr_transaction_ids,
            rejected_token_code=arguments.rejected_token_code,
            merchant_category=arguments.merchant_category,
            merchant_name=arguments.merchant_name,
            callback_retries=arguments.callback_retries,
            callback_retry_delay=arguments.callback_retry_delay,
            qr_image_format=arguments.qr_image_format,
            unpaid_inquiry=arguments.unpaid_inquiry,
            rate_limit=arguments.rate_limit,
            require_client_certificate=arguments.require_client_certificate,
        ),
    )
    with sandbox:
        if arguments.callback_url:
            for key, secret in sandbox.applications.items():
                sandbox.register_application(key, secret, callback_url=arguments.callback_url,
                                             ref3_prefix=arguments.ref3_prefix)
        print("\n".join(shell_lines(sandbox)), flush=True)
        wait_for_stop_signal()
    return 0


if __name__ == "__main__":
    sys.exit(main())
