"""SCB_REUSE_CONNECTIONS: each thread keeps its database session and its TLS connection
to the bank between calls, replaces a session the server ended, reports a database that
cannot be reached as such, closes what it keeps on request, at thread exit and at
interpreter exit, and a forked child leaves the parent's connections and its own files alone."""

from __future__ import annotations

import ctypes
import ctypes.util
import json
import os
import selectors
import socket
import textwrap
import threading
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from halvenor_scb_lib import _binding

from bank_helpers import envelope
from cabi import lib

SUCCESS = 1000
REUSE = "SCB_REUSE_CONNECTIONS"
UNREACHABLE = envelope(9002, "Failed to connect to database. Check credentials and network connectivity.")
# The statement the module ends a QR call's database work with, which identifies its sessions.
TOKEN_LOOKUP = "SELECT access_token, token_expires_at AT TIME ZONE 'UTC'%"


@pytest.fixture
def reuse(monkeypatch: pytest.MonkeyPatch, pg: Any) -> Iterator[None]:
    monkeypatch.setenv(REUSE, "1")
    yield
    _binding.close_connections()
    assert pg.wait_for_client_connections(0) == 0


def qr_by_bank(bank_account: str, ref1: str) -> dict[str, Any]:
    return _binding.scb_api_create_qr_by_bank(bank_account, 10.0, ref1, "KEPT")


def module_sessions(pg: Any) -> set[int]:
    rows = pg.execute(
        "SELECT pid FROM pg_stat_activity WHERE datname = %s AND query LIKE %s AND pid <> pg_backend_pid()",
        (pg.dbname, TOKEN_LOOKUP),
    )
    return {pid for (pid,) in rows}


def sessions_seen_by_bank(scb_sandbox: Any, pg: Any) -> set[int]:
    """Fills, at every QR request, with the module's sessions open at that moment."""
    seen: set[int] = set()
    scb_sandbox.on_request("qr", lambda request: seen.update(module_sessions(pg)))
    return seen


@pytest.mark.slow
@pytest.mark.parametrize("switch, calls", [("1", 200), ("0", 5)], ids=["on", "off"])
def test_one_thread_keeps_one_session_and_one_tls_connection(erp, scb_sandbox, pg, monkeypatch, switch, calls):
    monkeypatch.setenv(REUSE, switch)
    bank_account = str(erp.add_bank_account(erp.add_config()))
    try:
        # The first call fetches the token; from then on the module's sessions end with the lookup.
        assert qr_by_bank(bank_account, "FIRST")["status"]["code"] == SUCCESS
        seen = sessions_seen_by_bank(scb_sandbox, pg)
        answers = [qr_by_bank(bank_account, f"R{i}") for i in range(calls - 1)]
        assert [answer["status"]["code"] for answer in answers] == [SUCCESS] * (calls - 1)
        assert len(scb_sandbox.requests_to("token")) == 1
        if switch == "1":
            assert len(seen) == 1
            assert scb_sandbox.tls_connections == 1
            assert pg.client_connections() == 1
        else:
            assert len(seen) == calls - 1
            assert scb_sandbox.tls_connections == calls + 1
            assert pg.wait_for_client_connections(0) == 0
    finally:
        _binding.close_connections()
    assert pg.wait_for_client_connections(0) == 0


def test_a_kept_bank_connection_serves_only_requests_presenting_the_certificate_it_was_made_with(
        erp, scb_sandbox, reuse, monkeypatch):
    bank_account = str(erp.add_bank_account(erp.add_config()))
    assert qr_by_bank(bank_account, "PLAIN")["status"]["code"] == SUCCESS
    # The bank asks for a client certificate from now on; the kept connection was made before it asked.
    scb_sandbox.configure(require_client_certificate=True)
    for name, value in scb_sandbox.client_environ().items():
        monkeypatch.setenv(name, value)
    assert qr_by_bank(bank_account, "PRESENTED")["status"]["code"] == SUCCESS
    monkeypatch.delenv("SCB_CLIENT_CERT")
    monkeypatch.delenv("SCB_CLIENT_KEY")
    assert qr_by_bank(bank_account, "PLAINAGAIN")["status"]["code"] == SUCCESS
    # Each request went on a connection made as it would present itself: without a certificate, with one,
    # and without one again on the first connection, never on the one that presented it.
    assert [request.client_certificate for request in scb_sandbox.requests_to("qr")] == [
        None, "halvenor SCB sandbox client", None]
    assert scb_sandbox.tls_connections == 2


@pytest.mark.parametrize(
    "value, kept",
    [("1", True), ("true", True), ("T", True), ("0", False), ("false", False), ("yes", False), ("", False)],
)
def test_switch_reads_the_first_character(erp, scb_sandbox, pg, monkeypatch, value, kept):
    monkeypatch.setenv(REUSE, value)
    bank_account = str(erp.add_bank_account(erp.add_config()))
    try:
        assert qr_by_bank(bank_account, "SWITCH")["status"]["code"] == SUCCESS
        assert pg.wait_for_client_connections(int(kept)) == int(kept)
    finally:
        _binding.close_connections()


def in_threads(count: int, work: Callable[[int], None]) -> None:
    errors: list[BaseException] = []

    def run(index: int) -> None:
        try:
            work(index)
        except BaseException as error:  # noqa: BLE001 - re-raised on the test's thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads), "a call never returned"
    if errors:
        raise errors[0]


def test_threads_keep_one_each_and_close_them_when_they_end(erp, scb_sandbox, pg, reuse):
    threads, calls = 8, 10
    bank_account = str(erp.add_bank_account(erp.add_config()))
    assert qr_by_bank(bank_account, "PRIME")["status"]["code"] == SUCCESS
    _binding.close_connections()
    tls_before = scb_sandbox.tls_connections
    seen = sessions_seen_by_bank(scb_sandbox, pg)
    answers: list[dict[str, Any]] = []

    def work(index: int) -> None:
        answers.extend(qr_by_bank(bank_account, f"T{index}C{call}") for call in range(calls))

    in_threads(threads, work)

    assert [answer["status"]["code"] for answer in answers] == [SUCCESS] * threads * calls
    assert 1 <= len(seen) <= threads
    assert 1 <= scb_sandbox.tls_connections - tls_before <= threads
    assert pg.wait_for_client_connections(0) == 0


def terminate_module_sessions(pg: Any) -> None:
    pg.execute(
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
        " WHERE datname = %s AND backend_type = 'client backend' AND pid <> pg_backend_pid()",
        (pg.dbname,),
    )
    assert pg.wait_for_client_connections(0) == 0


def invoice_call(config_id: int, bank_account: int, invoice: int) -> bool:
    answer = _binding.create_qr_for_invoice(
        invoice_id=invoice, company_id=1, config_id=config_id, reference=f"INV{invoice}", amount=5.0,
        bank_account_id=str(bank_account),
    )
    return "intent_id" in answer


def inquiry_call(config_id: int, bank_account: int, invoice: int) -> bool:
    answer = _binding.scb_api_payment_inquiry(str(config_id), transaction_ref=f"TX{invoice}")
    return answer["status"]["code"] == SUCCESS


def qr_call(config_id: int, bank_account: int, invoice: int) -> bool:
    return qr_by_bank(str(bank_account), f"Q{invoice}")["status"]["code"] == SUCCESS


@pytest.mark.parametrize(
    "operation, ending",
    [(qr_call, "terminated"), (inquiry_call, "terminated"), (invoice_call, "terminated"), (qr_call, "restarted")],
    ids=["qr-terminated", "inquiry-terminated", "invoice-terminated", "qr-restarted"],
)
def test_a_session_the_server_ended_costs_only_a_reconnect(erp, scb_sandbox, pg, reuse, capfd, operation, ending):
    config_id = erp.add_config()
    bank_account = erp.add_bank_account(config_id)
    assert operation(config_id, bank_account, 1)
    if ending == "restarted":
        pg.restart()
    else:
        terminate_module_sessions(pg)
    capfd.readouterr()

    assert operation(config_id, bank_account, 2)

    log = capfd.readouterr().err
    assert "Kept database connection was lost, reconnecting" in log
    assert "Database connection failed" not in log
    assert pg.client_connections() == 1


FORK_SCRIPT = textwrap.dedent(
    """
    import json, os, sys
    from halvenor_scb_lib import _binding

    def qr(ref1):
        return _binding.scb_api_create_qr_by_bank(sys.argv[1], 10.0, ref1, "FORK")["status"]["code"]

    def sockets():
        found = set()
        for fd in os.listdir("/proc/self/fd"):
            try:
                link = os.readlink(f"/proc/self/fd/{fd}")
            except FileNotFoundError:  # the listing's own descriptor, closed by now
                continue
            if link.startswith("socket:"):
                found.add(link)
        return found

    first = qr("PARENT1")
    kept = sockets()
    child = os.fork()
    if child == 0:
        # The parent's kept sockets are closed in the child at the fork itself.
        inherited = kept & sockets()
        log = os.open(sys.argv[2], os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        os.dup2(log, 2)
        code = qr("CHILD")
        sys.exit(0 if code == 1000 and not inherited else 1)  # a normal exit: the child's own clean-up runs
    _, status = os.waitpid(child, 0)
    sys.stderr.write("PARENT AFTER FORK\\n")
    sys.stderr.flush()
    print(json.dumps({"first": first, "child": os.waitstatus_to_exitcode(status), "second": qr("PARENT2")}))
    """
)


def test_forked_child_opens_its_own_connections(erp, scb_sandbox, pg, run_python, tmp_path):
    bank_account = erp.add_bank_account(erp.add_config())
    child_log = tmp_path / "child.log"

    done = run_python(
        f"import sys; sys.argv[1:] = [{str(bank_account)!r}, {str(child_log)!r}]\n" + FORK_SCRIPT, env={REUSE: "1"}
    )

    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {"first": SUCCESS, "child": 0, "second": SUCCESS}
    parent_after_fork = done.stderr.split("PARENT AFTER FORK\n", 1)[1]
    # The parent's second call found its session and its TLS connection as it left them.
    assert "reconnecting" not in parent_after_fork
    assert "Connecting to PostgreSQL" not in parent_after_fork
    assert "Connecting to PostgreSQL" in child_log.read_text()
    assert scb_sandbox.tls_connections == 2
    assert [r.json()["ref1"] for r in scb_sandbox.requests_to("qr")] == ["PARENT1", "CHILD", "PARENT2"]
    assert pg.wait_for_client_connections(0) == 0


CHILD_FILES_SCRIPT = textwrap.dedent(
    """
    import os, sys
    from halvenor_scb_lib import _binding

    def qr(ref1):
        return _binding.scb_api_create_qr_by_bank(sys.argv[1], 10.0, ref1, "FILES")["status"]["code"]

    assert qr("PARENT") == 1000
    child = os.fork()
    if child == 0:
        os.closerange(3, 1024)
        files = [os.open(os.path.join(sys.argv[2], f"f{i}"), os.O_RDWR | os.O_CREAT) for i in range(8)]
        code = qr("CHILD")
        intact = all(os.write(fd, b"kept") == 4 and os.pread(fd, 4, 0) == b"kept" for fd in files)
        os._exit(0 if code == 1000 and intact else 1)
    _, status = os.waitpid(child, 0)
    print(os.waitstatus_to_exitcode(status), qr("PARENT2"))
    """
)


def test_a_child_that_reuses_descriptor_numbers_keeps_its_files(erp, scb_sandbox, pg, run_python, tmp_path):
    bank_account = erp.add_bank_account(erp.add_config())

    done = run_python(
        f"import sys; sys.argv[1:] = [{str(bank_account)!r}, {str(tmp_path)!r}]\n" + CHILD_FILES_SCRIPT,
        env={REUSE: "1"},
    )

    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0", str(SUCCESS)]
    assert [r.json()["ref1"] for r in scb_sandbox.requests_to("qr")] == ["PARENT", "CHILD", "PARENT2"]
    assert pg.wait_for_client_connections(0) == 0


def test_close_connections_and_interpreter_exit_close_cleanly(erp, scb_sandbox, pg, reuse, run_python):
    bank_account = str(erp.add_bank_account(erp.add_config()))
    assert qr_by_bank(bank_account, "BEFORE")["status"]["code"] == SUCCESS
    assert pg.client_connections() == 1
    _binding.close_connections()
    assert pg.wait_for_client_connections(0) == 0
    assert qr_by_bank(bank_account, "AFTER")["status"]["code"] == SUCCESS

    done = run_python(
        f"from halvenor_scb_lib import _binding\n"
        f"print(_binding.scb_api_create_qr_by_bank({bank_account!r}, 1.0, 'EXIT', 'X')['status']['code'])",
        env={REUSE: "1"},
    )

    assert done.stdout.strip() == str(SUCCESS), done.stderr
    assert done.stderr.rstrip().endswith("Database connection closed")


def test_a_nested_session_is_not_kept(pg, reuse):
    outer = lib.scb_db_acquire()
    inner = lib.scb_db_acquire()
    assert outer and inner and outer != inner
    lib.scb_db_release(inner)
    assert pg.wait_for_client_connections(1) == 1
    lib.scb_db_release(outer)
    again = lib.scb_db_acquire()
    assert again == outer
    lib.scb_db_release(again)
    assert pg.wait_for_client_connections(1) == 1


def raw_qr(config_id: int, bank_account: int) -> Any:
    return qr_by_bank(str(bank_account), "DOWN")


def raw_inquiry(config_id: int, bank_account: int) -> Any:
    return _binding.scb_api_payment_inquiry(str(config_id), transaction_ref="TXDOWN")


def raw_invoice(config_id: int, bank_account: int) -> Any:
    return _binding.create_qr_for_invoice(
        invoice_id=900, company_id=1, config_id=config_id, reference="INV900", amount=5.0,
        bank_account_id=str(bank_account),
    )


def raw_token(config_id: int, bank_account: int) -> Any:
    return _binding.scb_api_refresh_token(str(config_id))


def succeeded(answer: Any) -> bool:
    return "intent_id" in answer or answer["status"]["code"] == SUCCESS


@pytest.mark.parametrize("operation", [raw_qr, raw_inquiry, raw_invoice, raw_token],
                         ids=["qr", "inquiry", "invoice", "token"])
def test_a_database_that_went_down_is_reported_unreachable_until_it_is_back(
    erp, scb_sandbox, pg, reuse, capfd, operation
):
    config_id = erp.add_config()
    bank_account = erp.add_bank_account(config_id)
    assert succeeded(operation(config_id, bank_account))
    pg.shut_down()
    try:
        capfd.readouterr()
        if operation is raw_invoice:
            with pytest.raises(RuntimeError, match="^Failed to connect to database$"):
                operation(config_id, bank_account)
        else:
            assert operation(config_id, bank_account) == UNREACHABLE
        log = capfd.readouterr().err
        assert "Kept database connection was lost, reconnecting" in log and "Database connection failed" in log
    finally:
        pg.start_again()
    assert succeeded(operation(config_id, bank_account))
    assert pg.client_connections() == 1


class SeveringProxy:
    """TCP on 127.0.0.1 in front of the server's socket. sever() makes it cut every connection at the
    client's next message, while the socket still looks healthy, and refuse new ones from then on."""

    def __init__(self, pg: Any) -> None:
        self._target = os.path.join(pg.host, f".s.PGSQL.{pg.port}")
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._severed = threading.Event()
        self._threads: list[threading.Thread] = []
        self._spawn(self._accept)

    def _spawn(self, target: Callable[..., None], *args: Any) -> None:
        thread = threading.Thread(target=target, args=args, daemon=True)
        thread.start()
        self._threads.append(thread)

    def _accept(self) -> None:
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            server = socket.socket(socket.AF_UNIX)
            server.connect(self._target)
            self._spawn(self._pump, client, server)

    def _pump(self, client: socket.socket, server: socket.socket) -> None:
        with client, server, selectors.DefaultSelector() as selector:
            selector.register(client, selectors.EVENT_READ, server)
            selector.register(server, selectors.EVENT_READ, client)
            while True:
                for key, _ in selector.select(timeout=0.05):
                    data = key.fileobj.recv(65536)  # type: ignore[union-attr]
                    if not data or (self._severed.is_set() and key.fileobj is client):
                        return
                    key.data.sendall(data)

    def sever(self) -> None:
        self._severed.set()
        self._listener.close()

    def close(self) -> None:
        self.sever()
        for thread in self._threads:
            thread.join(timeout=5)


@pytest.fixture
def proxy(pg, monkeypatch):
    severing = SeveringProxy(pg)
    monkeypatch.setenv("PGHOST", "127.0.0.1")
    monkeypatch.setenv("PGPORT", str(severing.port))
    yield severing
    _binding.close_connections()
    severing.close()


@pytest.mark.parametrize("operation", [raw_qr, raw_inquiry, raw_invoice], ids=["qr", "inquiry", "invoice"])
def test_a_session_lost_at_its_first_statement_without_reconnect_is_reported_unreachable(
    erp, scb_sandbox, pg, reuse, proxy, capfd, operation
):
    config_id = erp.add_config()
    bank_account = erp.add_bank_account(config_id)
    assert succeeded(operation(config_id, bank_account))
    proxy.sever()
    capfd.readouterr()

    assert operation(config_id, bank_account) == UNREACHABLE

    log = capfd.readouterr().err
    assert "Kept database connection was lost, reconnecting" in log and "Database connection failed" in log
    assert "No SCB config" not in log and "configuration not found" not in log


def tcp_options(port: int) -> dict[str, int]:
    """Keepalive and user-timeout settings of this process's socket connected to 127.0.0.1:port."""
    for name in os.listdir("/proc/self/fd"):
        try:
            probe = socket.socket(fileno=os.dup(int(name)))
        except OSError:
            continue
        with probe:
            try:
                if probe.family != socket.AF_INET or probe.getpeername()[1] != port:
                    continue
            except OSError:
                continue
            return {
                "keepalive": probe.getsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE),
                "idle": probe.getsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPIDLE),
                "interval": probe.getsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPINTVL),
                "count": probe.getsockopt(socket.IPPROTO_TCP, socket.TCP_KEEPCNT),
                "user_timeout": probe.getsockopt(socket.IPPROTO_TCP, socket.TCP_USER_TIMEOUT),
            }
    raise AssertionError(f"no socket connected to port {port}")


def test_a_kept_session_finds_a_silently_dropped_peer_in_bounded_time(erp, scb_sandbox, pg, reuse, proxy):
    bank_account = str(erp.add_bank_account(erp.add_config()))
    assert qr_by_bank(bank_account, "KEEPALIVE")["status"]["code"] == SUCCESS
    assert tcp_options(proxy.port) == {"keepalive": 1, "idle": 60, "interval": 10, "count": 3, "user_timeout": 30000}


def test_a_session_handed_back_inside_a_transaction_is_closed(pg, reuse, capfd):
    libpq = ctypes.CDLL(ctypes.util.find_library("pq"))
    libpq.PQexec.restype = ctypes.c_void_p
    libpq.PQexec.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    libpq.PQclear.argtypes = [ctypes.c_void_p]
    session = lib.scb_db_acquire()
    libpq.PQclear(libpq.PQexec(session, b"BEGIN"))
    capfd.readouterr()
    lib.scb_db_release(session)
    assert "Database connection closed" in capfd.readouterr().err
    assert pg.wait_for_client_connections(0) == 0


def test_a_reconnected_session_is_back_in_utc(erp, scb_sandbox, pg, reuse, monkeypatch):
    monkeypatch.setenv("PGTZ", "Asia/Bangkok")
    config_id = erp.add_config()
    bank_account = str(erp.add_bank_account(config_id))
    assert qr_by_bank(bank_account, "BEFORE")["status"]["code"] == SUCCESS
    terminate_module_sessions(pg)
    pg.execute("UPDATE scb_api_config SET token_expires_at = (now() AT TIME ZONE 'UTC') + interval '100 seconds'")

    assert qr_by_bank(bank_account, "AFTER")["status"]["code"] == SUCCESS

    # Read in Bangkok time, the expiring token would have looked good for seven more hours.
    assert len(scb_sandbox.requests_to("token")) == 2
