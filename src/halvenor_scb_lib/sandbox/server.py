"""HTTPS server on 127.0.0.1 standing in for the bank's partner API."""

from __future__ import annotations

import contextlib
import fcntl
import io
import logging
import select
import shutil
import socket
import socketserver
import ssl
import struct
import tempfile
import termios
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, replace
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

from .bank import DEFAULT_REF3_PREFIX, Bank, BankOptions
from .callbacks import CallbackDelivery, CallbackSender
from .certs import CertificateFiles, write_certificates
from .interventions import Delivery, Interventions, RequestHook, fault_delivery
from .messages import (
    CALLBACK,
    CONNECTIONS_PATH,
    Answer,
    JsonBody,
    RecordedRequest,
    check_endpoint,
    html_error_answer,
    scripted_answer,
)
from .payments import PaymentTime

log = logging.getLogger("halvenor_scb_lib.sandbox")

DEFAULT_APPLICATIONS = {"sandbox-application-key": "sandbox-application-secret"}
# A client that stalls mid-request, or keeps an idle connection, holds a handler thread no longer than this.
CONNECTION_TIMEOUT = 10.0
MAX_LINE = 65536
# How often a hanging handler and a cut answer look at the connection and at stop().
POLL_INTERVAL = 0.02


@dataclass(frozen=True)
class Reply:
    """What the handler does with a request: deliver `answer` as `delivery` says (no answer: drop or hang).

    With `keep_open` the connection stays open for the client's next request, unless the client asked to close it.
    """

    delivery: Delivery
    answer: Answer | None = None
    keep_open: bool = False


class Tally:
    """A count that handler threads add to while the test reads or zeroes it."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._value = 0

    def add(self) -> None:
        with self._lock:
            self._value += 1

    def reset(self) -> None:
        with self._lock:
            self._value = 0

    @property
    def value(self) -> int:
        with self._lock:
            return self._value


class Sandbox:
    """Offline stand-in for the bank's partner API, serving both the production and sandbox paths."""

    def __init__(
        self,
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        ca_dir: str | None = None,
        token_lifetime: int = 1800,
        applications: dict[str, str] | None = None,
        keep_alive: bool = True,
        options: BankOptions | None = None,
    ) -> None:
        """With keep_alive=False every connection closes after one answer, as scripted answers and faults always do."""
        self._host = host
        self._port = port
        self._ca_dir = ca_dir
        self._interventions = Interventions()
        self._callbacks = CallbackSender(lambda: self._interventions.plan_for(CALLBACK))
        self._bank = Bank(
            DEFAULT_APPLICATIONS if applications is None else applications, token_lifetime, options or BankOptions(),
            self._send_callback,
        )
        self._bank.add_route(CONNECTIONS_PATH, ("GET",), self._connection_stats)
        self._keep_alive = keep_alive
        self._handshakes = Tally()
        self._stopping = threading.Event()
        self._hook_errors: list[BaseException] = []
        self._server: _SandboxHTTPServer | None = None
        self._serve_thread: threading.Thread | None = None
        self._temp_dir: str | None = None
        self._certificates: CertificateFiles | None = None
        self.requests: list[RecordedRequest] = []

    def __enter__(self) -> Sandbox:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def start(self) -> Sandbox:
        if self._server is not None:
            raise RuntimeError("sandbox already started")
        directory = self._ca_dir or self._make_temp_dir()
        try:
            files = write_certificates(directory)
            contexts = {required: _tls_context(files, required) for required in (False, True)}
            self._server = _SandboxHTTPServer(
                (self._host, self._port), lambda: contexts[self.options.require_client_certificate], self._answer,
                self._stopping, self._handshakes,
            )
        except BaseException:
            self._remove_temp_dir()
            raise
        self._certificates = files
        self._stopping.clear()
        self._handshakes.reset()
        self._serve_thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, name="scb-sandbox", daemon=True
        )
        self._serve_thread.start()
        log.info("bank sandbox listening on https://%s", self.address)
        return self

    def stop(self) -> None:
        if self._server is None:
            return
        self._stopping.set()
        self._server.shutdown()
        assert self._serve_thread is not None
        self._serve_thread.join()
        self._server.server_close()
        self._server.close_idle_connections()
        self._server.join_handlers(CONNECTION_TIMEOUT)
        self._callbacks.stop()
        self._server = None
        self._serve_thread = None
        self._remove_temp_dir()

    @property
    def address(self) -> str:
        host, port = self._running_server().socket.getsockname()[:2]
        return f"{host}:{port}"

    @property
    def ca_file(self) -> str:
        return self._certificate_files().ca_file

    @property
    def client_ca_file(self) -> str:
        """The CA whose client certificates the sandbox takes when it requires one."""
        return self._certificate_files().client_ca_file

    @property
    def client_cert_file(self) -> str:
        return self._certificate_files().client_cert_file

    @property
    def client_key_file(self) -> str:
        return self._certificate_files().client_key_file

    @property
    def client_encrypted_key_file(self) -> str:
        """The client certificate's key encrypted with client_key_password."""
        return self._certificate_files().client_encrypted_key_file

    @property
    def client_key_password(self) -> str:
        return self._certificate_files().client_key_password

    def client_environ(self, *, encrypted_key: bool = False) -> dict[str, str]:
        """SCB_CLIENT_CERT and SCB_CLIENT_KEY (and SCB_CLIENT_KEY_PASSWORD) for the sandbox's client certificate."""
        if not encrypted_key:
            return {"SCB_CLIENT_CERT": self.client_cert_file, "SCB_CLIENT_KEY": self.client_key_file}
        return {"SCB_CLIENT_CERT": self.client_cert_file, "SCB_CLIENT_KEY": self.client_encrypted_key_file,
                "SCB_CLIENT_KEY_PASSWORD": self.client_key_password}

    @property
    def tls_connections(self) -> int:
        """Connections whose TLS handshake completed since start() or the last reset()."""
        return self._handshakes.value

    def environ(self) -> dict[str, str]:
        return {"SCB_SANDBOX_HOST": self.address, "SCB_PRODUCTION_HOST": self.address, "CURL_CA_BUNDLE": self.ca_file}

    def register_application(
        self, key: str, secret: str, merchant_name: str | None = None, callback_url: str | None = None,
        ref3_prefix: str = DEFAULT_REF3_PREFIX,
    ) -> None:
        """Accept these credentials; the application's payloads carry `merchant_name` (None: options.merchant_name).

        With a `callback_url` (https://, or http:// to a loopback address), the bank's payment
        confirmation of every payment to a biller id the application created a QR for, whose
        ref3 starts with `ref3_prefix` (capitals and digits; "" takes every ref3), is POSTed
        there as JSON in the background: see callbacks. When several applications made QR
        codes for a biller id, the longest prefix the ref3 starts with wins. reset() forgets
        the URL.
        """
        self._bank.register_application(key, secret, merchant_name, callback_url, ref3_prefix)

    @property
    def applications(self) -> dict[str, str]:
        return self._bank.applications

    @property
    def token_lifetime(self) -> int:
        return self._bank.token_lifetime

    @token_lifetime.setter
    def token_lifetime(self, seconds: int) -> None:
        self._bank.token_lifetime = seconds

    @property
    def options(self) -> BankOptions:
        return self._bank.options

    @options.setter
    def options(self, options: BankOptions) -> None:
        self._bank.options = options

    def configure(self, **changes: Any) -> None:
        """Change some of the options, such as configure(qr_transaction_ids=True); see BankOptions."""
        self.options = replace(self.options, **changes)

    def requests_to(self, endpoint: str) -> list[RecordedRequest]:
        check_endpoint(endpoint)
        return [request for request in list(self.requests) if request.endpoint == endpoint]

    def script(
        self,
        endpoint: str,
        *,
        status: int = 200,
        body: JsonBody = b"",
        headers: list[tuple[str, str]] | None = None,
        times: int = 1,
    ) -> None:
        self._interventions.add_script(check_endpoint(endpoint), scripted_answer(status, body, headers), times)

    def fault(
        self,
        endpoint: str | None = None,
        *,
        latency: float = 0.0,
        drop: bool = False,
        hang: bool = False,
        reset_mid_body: bool = False,
        html_error: int | None = None,
        times: int | None = None,
    ) -> None:
        """Misbehave on requests to `endpoint` (None: every bank endpoint), `times` times (None: until reset).

        After `latency` seconds the request is dropped (closed unanswered), hangs (no answer
        until the client hangs up or the sandbox stops), is answered with `html_error`'s error
        page, or its answer (the error page, a script or the bank's own) is cut: the status
        line, the headers and half the body are sent, then the connection is reset.

        With endpoint "callback" the fault applies to the payments' callbacks instead: a
        dropped callback is never sent, and `latency` delays its first attempt.
        """
        if endpoint is not None and endpoint != CALLBACK:
            check_endpoint(endpoint)
        delivery = fault_delivery(
            drop=drop, hang=hang, reset_mid_body=reset_mid_body, html_error=html_error is not None
        )
        if endpoint == CALLBACK and (hang or reset_mid_body or html_error is not None):
            raise ValueError("a callback can only be dropped or delayed")
        error_page = None if html_error is None else html_error_answer(html_error)
        self._interventions.add_fault(endpoint, latency, delivery, error_page, times)

    def on_request(self, endpoint: str | None, hook: RequestHook, *, times: int | None = None) -> None:
        """Run hook(request) when a request to `endpoint` (None: any bank endpoint) arrives, before it is answered.

        The client waits meanwhile, and scripts and faults the hook adds apply to that very
        request. A hook that raises leaves the request unanswered (the connection is closed);
        raise_hook_errors() raises its exception in the test.
        """
        if endpoint is not None:
            check_endpoint(endpoint)
        self._interventions.add_hook(endpoint, hook, times)

    def raise_hook_errors(self) -> None:
        """Raise the first exception a request hook raised since the last reset or call, if any."""
        errors = list(self._hook_errors)
        self._hook_errors.clear()
        if errors:
            raise RuntimeError(f"{len(errors)} request hook(s) of the bank sandbox failed") from errors[0]

    def expire_tokens(self) -> None:
        self._bank.expire_tokens()

    def revoke_token(self, token: str) -> None:
        self._bank.revoke_token(token)

    @property
    def issued_tokens(self) -> list[str]:
        return self._bank.issued_tokens

    def pay(
        self,
        qr_raw_data: str,
        amount: str | None = None,
        paid_at: PaymentTime = None,
        partner_transaction_id: str | None = None,
    ) -> dict[str, str]:
        """Pay a QR the way a customer's banking app would, from the payload it scanned.

        `amount` is what the customer types in for a payload without one; a payload's own
        amount cannot be changed. `paid_at` is an aware datetime or ISO 8601 text with its
        UTC offset (default: now). A `partner_transaction_id` makes it a payment the
        inquiry by transaction finds. Returns the bank's record of the payment, with its
        time in Thailand's time; InvalidPayment when a banking app would refuse.
        """
        return self._bank.pay(qr_raw_data, amount, paid_at, partner_transaction_id)

    @property
    def qr_codes(self) -> list[dict[str, Any]]:
        """The QR codes created, oldest first: the request's fields, "payload" and "environment"."""
        return self._bank.qr_codes

    @property
    def payments(self) -> list[dict[str, str]]:
        return self._bank.payments

    @property
    def callbacks(self) -> list[CallbackDelivery]:
        """The payments' callbacks, oldest first, each with its attempts so far and their answers."""
        return self._callbacks.deliveries

    def wait_for_callbacks(self, timeout: float = 30.0) -> bool:
        """Wait until no callback has attempts to come; False when `timeout` seconds passed first."""
        return self._callbacks.wait(timeout)

    def reset(self) -> None:
        """Forget requests, interventions, tokens, QR codes, payments and callbacks, with the applications' callback
        URLs; the applications stay."""
        self.requests.clear()
        self._interventions.clear()
        self._hook_errors.clear()
        self._callbacks.stop()
        self._bank.reset()
        self._handshakes.reset()

    def _answer(self, request: RecordedRequest) -> Reply:
        self.requests.append(request)
        if request.endpoint is None:
            return self._bank_reply(request)
        if not self._run_hooks(request, request.endpoint):
            return Reply(Delivery.DROP)
        plan = self._interventions.plan_for(request.endpoint)
        if plan.latency:
            self._stopping.wait(plan.latency)
        if plan.delivery in (Delivery.DROP, Delivery.HANG):
            return Reply(plan.delivery)
        if plan.delivery is Delivery.WHOLE and plan.answer is None:
            return self._bank_reply(request)
        return Reply(plan.delivery, plan.answer or self._bank.handle(request))

    def _bank_reply(self, request: RecordedRequest) -> Reply:
        # Only the bank's own whole answers leave the connection open; anything scripted or
        # faulty closes it, so a client never reuses a connection the sandbox broke on purpose.
        return Reply(Delivery.WHOLE, self._bank.handle(request), keep_open=self._keep_alive)

    def _send_callback(self, record: dict[str, str], url: str | None) -> None:
        if url is None:
            self._callbacks.undeliverable(record)
            return
        options = self.options
        self._callbacks.send(record, url, options.callback_retries, options.callback_retry_delay)

    def _connection_stats(self, request: RecordedRequest) -> dict[str, int]:
        return {"tlsConnections": self.tls_connections}

    def _run_hooks(self, request: RecordedRequest, endpoint: str) -> bool:
        for hook in self._interventions.hooks_for(endpoint):
            try:
                hook(request)
            except Exception as error:  # kept for the test; the handler thread has nobody to tell
                log.exception("request hook failed on %s", request.target)
                self._hook_errors.append(error)
                return False
        return True

    def _running_server(self) -> _SandboxHTTPServer:
        if self._server is None:
            raise RuntimeError("sandbox is not running; call start() first")
        return self._server

    def _certificate_files(self) -> CertificateFiles:
        self._running_server()
        assert self._certificates is not None
        return self._certificates

    def _make_temp_dir(self) -> str:
        self._temp_dir = tempfile.mkdtemp(prefix="scb-sandbox-")
        return self._temp_dir

    def _remove_temp_dir(self) -> None:
        if self._temp_dir is not None:
            shutil.rmtree(self._temp_dir, ignore_errors=True)
            self._temp_dir = None


AnswerFunction = Callable[[RecordedRequest], Reply]


def _tls_context(files: CertificateFiles, require_client_certificate: bool) -> ssl.SSLContext:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(files.cert_file, files.key_file)
    if require_client_certificate:
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(files.client_ca_file)
    return context


class _SandboxHTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    # Clients connecting at once must not overflow the accept queue: a dropped
    # SYN comes back only after TCP's one-second retransmission timeout.
    request_queue_size = 64

    def __init__(
        self,
        address: tuple[str, int],
        context: Callable[[], ssl.SSLContext],
        answer: AnswerFunction,
        stopping: threading.Event,
        handshakes: Tally,
    ) -> None:
        """`context` gives the TLS context of each new connection, so that an option changes it for the next ones."""
        self.tls_context = context
        self.answer = answer
        self.stopping = stopping
        self.handshakes = handshakes
        self._handlers: set[threading.Thread] = set()
        self._handlers_lock = threading.Lock()
        # Connections whose handler waits for a request (or a handshake) and may be woken by stop().
        self._idle: set[socket.socket] = set()
        self._idle_closed = False
        self._idle_lock = threading.Lock()
        super().__init__(address, _Handler)

    def server_bind(self) -> None:
        # HTTPServer.server_bind would look up the host's FQDN, which can stall on machines without DNS.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.socket.getsockname()[:2]

    def get_request(self) -> tuple[socket.socket, Any]:
        # The TLS handshake happens in the handler thread, so a slow client cannot block accept().
        connection, client = self.socket.accept()
        try:
            # Head and body leave in separate writes; on a kept connection Nagle's algorithm would
            # hold the body back until the client's delayed acknowledgement of the head.
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            tls = self.tls_context().wrap_socket(connection, server_side=True, do_handshake_on_connect=False)
        except BaseException:
            connection.close()
            raise
        self.await_request(tls)
        return tls, client

    def await_request(self, connection: socket.socket) -> bool:
        """Let stop() wake the handler while it waits on `connection`; False once stop() has done so."""
        with self._idle_lock:
            if not self._idle_closed:
                self._idle.add(connection)
            return not self._idle_closed

    def leave_idle(self, connection: socket.socket) -> None:
        """From here on stop() leaves `connection` alone: a request is in progress, or the connection is gone."""
        with self._idle_lock:
            self._idle.discard(connection)

    def close_request(self, request: Any) -> None:
        self.leave_idle(request)
        super().close_request(request)

    def close_idle_connections(self) -> None:
        """Wake every handler blocked on a connection with no request in progress; none waits again after this."""
        with self._idle_lock:
            self._idle_closed = True
            for connection in self._idle:
                # The plain socket's shutdown: SSLSocket.shutdown would drop the TLS state a blocked read still uses.
                with contextlib.suppress(OSError):
                    socket.socket.shutdown(connection, socket.SHUT_RDWR)

    def process_request(self, request: Any, client_address: Any) -> None:
        thread = threading.Thread(
            target=self._process_request_tracked,
            args=(request, client_address),
            name="scb-sandbox-request",
            daemon=True,
        )
        with self._handlers_lock:
            self._handlers.add(thread)
        thread.start()

    def _process_request_tracked(self, request: Any, client_address: Any) -> None:
        try:
            self.process_request_thread(request, client_address)
        finally:
            with self._handlers_lock:
                self._handlers.discard(threading.current_thread())

    def join_handlers(self, timeout: float) -> None:
        with self._handlers_lock:
            handlers = list(self._handlers)
        for thread in handlers:
            thread.join(timeout)

    def handle_error(self, request: Any, client_address: Any) -> None:
        # Clients that reject the certificate or hang up early are routine in tests.
        log.debug("connection from %s ended early", client_address, exc_info=True)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "halvenor-scb-sandbox"
    timeout = CONNECTION_TIMEOUT
    server: _SandboxHTTPServer

    def setup(self) -> None:
        super().setup()
        self.request.do_handshake()
        self.server.handshakes.add()

    def __getattr__(self, name: str) -> Any:
        # Every method reaches the bank, which answers one an endpoint does not serve with 405.
        if name.startswith("do_"):
            return self._serve
        raise AttributeError(name)

    def _serve(self) -> None:
        self.server.leave_idle(self.connection)
        # parse_request has read the client's wish (HTTP version and Connection header).
        client_keeps_open = not self.close_connection
        self.close_connection = True
        try:
            body = self._read_body()
        except ValueError:
            self.send_error(400, "Malformed request body framing")
            return
        request = RecordedRequest.received(self.command, self.path, list(self.headers.items()), body,
                                           _common_name(self.connection.getpeercert()))
        reply = self.server.answer(request)
        if reply.delivery is Delivery.HANG:
            self._wait_for_hang_up()
        elif reply.answer is None:
            return
        elif reply.delivery is Delivery.CUT:
            self._send_cut(reply.answer)
        else:
            self._send(reply.answer, keep_open=reply.keep_open and client_keeps_open)

    def _read_body(self) -> bytes:
        if (self.headers.get("Transfer-Encoding") or "").strip().lower() == "chunked":
            return read_chunked(self.rfile)
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0:
            raise ValueError("negative Content-Length")
        return self.rfile.read(length)

    def _send(self, answer: Answer, *, keep_open: bool) -> None:
        self._send_head(answer, keep_open=keep_open)
        if self.command != "HEAD":
            self.wfile.write(answer.body)
        # Idle only once the answer is out, so that stop() cannot cut it short.
        self.close_connection = not (keep_open and self.server.await_request(self.connection))

    def _send_head(self, answer: Answer, *, keep_open: bool = False) -> None:
        self.send_response(answer.status)
        for name, value in answer.headers:
            self.send_header(name, value)
        # A Connection header of a scripted answer is sent as scripted, though the connection closes anyway.
        if not keep_open and not any(name.lower() == "connection" for name, _ in answer.headers):
            self.send_header("Connection", "close")
        self.end_headers()

    def _send_cut(self, answer: Answer) -> None:
        self._send_head(answer)
        self.wfile.write(answer.body[: len(answer.body) // 2])
        # A reset discards whatever the kernel has not delivered yet; wait until the client
        # has acknowledged every byte, so what it sees is really a body broken off midway.
        deadline = time.monotonic() + CONNECTION_TIMEOUT
        while unacknowledged_bytes(self.connection) and time.monotonic() < deadline:
            if self.server.stopping.wait(POLL_INTERVAL):
                break
        # With a zero linger time, closing sends a reset instead of the orderly end of the
        # stream; the descriptor closes when the handler's streams let go of it, right after.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()
        self.close_connection = True

    def _wait_for_hang_up(self) -> None:
        """Say nothing until the client gives up (anything it sends, its TLS alert or end of stream) or stop()."""
        while not self.server.stopping.is_set():
            readable, _, _ = select.select([self.connection], [], [], POLL_INTERVAL)
            if readable:
                break
        self.close_connection = True

    def version_string(self) -> str:
        return self.server_version

    def log_message(self, format: str, *args: Any) -> None:
        log.info("%s %s", self.client_address[0], format % args)


def _common_name(certificate: Any) -> str | None:
    """The subject's common name of a verified peer certificate, as the ssl module describes one."""
    for entry in (certificate or {}).get("subject", ()):
        for name, value in entry:
            if name == "commonName":
                return str(value)
    return None


def unacknowledged_bytes(connection: socket.socket) -> int:
    """Bytes in the socket's send queue that the peer has not acknowledged yet (Linux)."""
    queued: int = struct.unpack("i", fcntl.ioctl(connection.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]
    return queued


def read_chunked(stream: io.BufferedIOBase) -> bytes:
    body = bytearray()
    while True:
        size = int(stream.readline(MAX_LINE).split(b";")[0], 16)
        if size == 0:
            break
        body += stream.read(size)
        stream.readline(MAX_LINE)
    while stream.readline(MAX_LINE).strip():
        pass
    return bytes(body)
