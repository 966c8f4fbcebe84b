"""Log lines on standard error or through Python's logging, and the debug switch."""

from __future__ import annotations

import contextvars
import datetime
import logging
import re
import sys
import threading
import time

import pytest

from cabi import lib
from halvenor_scb_lib import _binding, use_python_logging

LEVELS = {"INFO": lib.scb_log_info, "ERROR": lib.scb_log_error, "DEBUG": lib.scb_log_debug}

LINE = re.compile(
    r"\[CORVANE\] \[((?:Sun|Mon|Tue|Wed|Thu|Fri|Sat) (?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    r"[ 123]\d \d\d:\d\d:\d\d \d{4})\] (INFO|ERROR|DEBUG): (.*)"
)

# Runs its argument list in a fresh process: "NAME=value" sets, "NAME=" with
# nothing after unsets, anything else is logged at debug level.
PROBE = """
import ctypes, os, sys
import halvenor_scb_lib._binding as binding
lib = ctypes.CDLL(binding.__file__)
for step in {steps!r}:
    name, is_setting, value = step.partition("=")
    if not is_setting:
        lib.scb_log_debug(step.encode())
    elif value:
        os.environ[name] = value
    else:
        os.environ.pop(name, None)
lib.scb_log_info(b"done")
"""


def debug_lines_of_probe(run_python, env, *steps):
    result = run_python(PROBE.format(steps=list(steps)), env=env)
    lines = result.stderr.splitlines()
    assert result.returncode == 0 and all(LINE.fullmatch(line) for line in lines), result.stderr
    assert lines[-1].endswith(" INFO: done")
    return [line.split(" DEBUG: ", 1)[1] for line in lines if " DEBUG: " in line]


def stamp_time(stamp):
    return datetime.datetime.strptime(stamp, "%a %b %d %H:%M:%S %Y")


@pytest.mark.parametrize("level", LEVELS)
def test_line_format(capfd, level):
    before = datetime.datetime.now().replace(microsecond=0)
    LEVELS[level](b"hello world")
    after = datetime.datetime.now()
    out, err = capfd.readouterr()
    match = LINE.fullmatch(err.removesuffix("\n"))
    assert out == "" and err.count("\n") == 1 and match
    assert (match.group(2), match.group(3)) == (level, "hello world")
    assert before <= stamp_time(match.group(1)) <= after


@pytest.mark.parametrize(
    ("message", "shown"),
    [
        ("a\r\nb\n", "a\\r\\nb\\n"),
        ("\n", "\\n"),
        ("100% %d %s %n %%", "100% %d %s %n %%"),
        ("", ""),
        ("tab\tstays ภาษาไทย", "tab\tstays ภาษาไทย"),
        ("x" * 10000, "x" * 10000),
        # Terminal controls and the characters other readers split lines on.
        ("a\x1b[2Kb\x0bc\x0cd\x7fe\x00", "a\\x1b[2Kb\\x0bc\\x0cd\\x7fe"),
        ("a\u0085b\u2028c\u2029d\u009b", "a\\u0085b\\u2028c\\u2029d\\u009b"),
        ("\u2027\u202a\u00a0", "\u2027\u202a\u00a0"),
    ],
)
def test_message_is_one_line_and_printed_as_given(capfdbinary, message, shown):
    lib.scb_log_error(message.encode())
    err = capfdbinary.readouterr().err
    assert err.count(b"\n") == 1 and err.endswith(b"] ERROR: " + shown.encode() + b"\n")


@pytest.mark.parametrize(("zone", "hours_east"), [("XYZ-7", 7), ("ABC+5", -5)])
def test_timestamp_is_local_time(run_python, zone, hours_east):
    result = run_python("import ctypes, halvenor_scb_lib._binding as b; ctypes.CDLL(b.__file__).scb_log_info(b'x')",
                        env={"TZ": zone})
    local_now = datetime.datetime.now(datetime.UTC).replace(tzinfo=None) + datetime.timedelta(hours=hours_east)
    stamp = stamp_time(LINE.fullmatch(result.stderr.rstrip("\n")).group(1))
    assert abs((stamp - local_now).total_seconds()) < 5


@pytest.mark.parametrize(
    ("scb_debug", "debug_scb", "on"),
    [
        (None, None, False), ("1", None, True), ("true", None, True), ("TRUE", None, True), ("10", None, True),
        ("yes", None, False), ("on", None, False), ("0", None, False), ("false", None, False), ("", None, False),
        (" 1", None, False), (None, "t", True), (None, "yes", False), ("0", "1", True), ("yes", "T", True),
        ("1", "0", True),
    ],
)
def test_debug_switch_rules(run_python, scb_debug, debug_scb, on):
    shown = debug_lines_of_probe(run_python, {"SCB_DEBUG": scb_debug, "DEBUG_SCB": debug_scb}, "probe")
    assert shown == (["probe"] if on else [])


@pytest.mark.parametrize(
    ("start", "steps", "shown"),
    [
        # Read at the first debug call, not at import...
        (None, ["SCB_DEBUG=1", "first", "second"], ["first", "second"]),
        # ...and held from then on for the life of the process.
        (None, ["first", "SCB_DEBUG=1", "DEBUG_SCB=1", "second"], []),
        ("1", ["first", "SCB_DEBUG=", "second", "SCB_DEBUG=0", "third"], ["first", "second", "third"]),
    ],
)
def test_debug_switch_is_read_once_per_process(run_python, start, steps, shown):
    assert debug_lines_of_probe(run_python, {"SCB_DEBUG": start, "DEBUG_SCB": None}, *steps) == shown


def size(worker, i):
    return (worker * 997 + i * 131) % 3000  # up to a few pipe buffers of text


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        # The sandbox's own logger is a child of the library's.
        if record.name == "halvenor_scb_lib":
            self.records.append(record)


@pytest.fixture
def python_logging():
    """The records the library's logger receives while use_python_logging is on."""
    logger = logging.getLogger("halvenor_scb_lib")
    handler = Records()
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    use_python_logging()
    yield handler.records
    use_python_logging(False)
    logger.removeHandler(handler)
    logger.setLevel(level)


def stderr_lines(capfdbinary):
    """(level, message, thread ident or None) of each line on standard error."""
    lines = capfdbinary.readouterr().err.decode().split("\n")
    assert lines.pop() == ""
    matches = [LINE.fullmatch(line) for line in lines]
    assert all(matches), lines
    return [(match.group(2), match.group(3), None) for match in matches]


def record_lines(records, capfdbinary):
    assert capfdbinary.readouterr().err == b""
    return [(record.levelname, record.getMessage(), record.thread) for record in records]


@pytest.mark.parametrize("sink", ["stderr", "logging"])
def test_lines_from_concurrent_threads_stay_whole(request, capfdbinary, sink):
    workers, per_worker = 8, 150
    barrier = threading.Barrier(workers)
    idents = {}
    records = request.getfixturevalue("python_logging") if sink == "logging" else None

    def log(worker):
        idents[worker] = threading.get_ident()
        barrier.wait()
        for i in range(per_worker):
            list(LEVELS.values())[i % 3](f"w{worker}-{i}-{'ก' * size(worker, i)}".encode())

    threads = [threading.Thread(target=log, args=(n,)) for n in range(workers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    lines = stderr_lines(capfdbinary) if records is None else record_lines(records, capfdbinary)
    seen = set()
    for level, message, thread in lines:
        worker, i, tail = message[1:].split("-")
        assert tail == "ก" * size(int(worker), int(i)) and level == list(LEVELS)[int(i) % 3]
        # Handed over on the thread that made the line.
        assert thread in (None, idents[int(worker)])
        seen.add((worker, i))
    assert len(lines) == len(seen) == workers * per_worker


@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize(
    ("message", "shown"),
    [
        (b"hello world", "hello world"),
        # No %-formatting by logging; the escapes of standard error stay.
        (b"100% %s %d a\r\nb\x1b[2K", "100% %s %d a\\r\\nb\\x1b[2K"),
        (b"[SCB API] POST - URL: x", "[SCB API] POST - URL: x"),
        ("ภาษาไทย".encode(), "ภาษาไทย"),
        # Bytes that are not UTF-8 (a bank's Latin-1 page) cannot become str as they are.
        (b"caf\xe9 \xff", "caf\\xe9 \\xff"),
    ],
)
def test_python_logging_takes_the_message_at_its_level(python_logging, capfdbinary, level, message, shown):
    LEVELS[level](message)
    assert record_lines(python_logging, capfdbinary) == [(level, shown, threading.get_ident())]


def test_records_are_made_in_the_calling_context(python_logging):
    request = contextvars.ContextVar("request")
    seen = []

    def tag(record):
        seen.append(request.get(None))
        return True

    logger = logging.getLogger("halvenor_scb_lib")
    logger.addFilter(tag)
    try:
        context = contextvars.copy_context()
        context.run(request.set, "R-42")
        context.run(lib.scb_log_info, b"in a request")
        lib.scb_log_info(b"outside")
    finally:
        logger.removeFilter(tag)
    assert seen == ["R-42", None]


def test_switching_off_and_on_again(python_logging, capfdbinary):
    lib.scb_log_info(b"first")
    use_python_logging(False)
    lib.scb_log_error(b"second")
    assert stderr_lines(capfdbinary) == [("ERROR", "second", None)]
    use_python_logging(enabled=True)
    lib.scb_log_debug(b"third")
    assert [line[:2] for line in record_lines(python_logging, capfdbinary)] == [("INFO", "first"), ("DEBUG", "third")]


def test_operations_log_through_python_from_threads_without_the_interpreter_lock(
    python_logging, scb_sandbox, capfdbinary
):
    url = f"https://{scb_sandbox.address}/partners/sandbox/v1/payment/qrcode/create"
    idents = {}

    def create(worker):
        idents[worker] = threading.get_ident()
        _binding.scb_api_create_qr_full("KEY", "TOKEN", url, "010556012345678", 1.0, f"WORKER{worker}", "B")

    threads = [threading.Thread(target=create, args=(n,)) for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    lines = record_lines(python_logging, capfdbinary)
    for worker, ident in idents.items():
        posts = [line for line in lines if line[1].startswith("[SCB API] POST") and f"WORKER{worker}" in line[1]]
        assert [(level, thread) for level, _, thread in posts] == [("DEBUG", ident)]


def test_a_failing_logger_leaves_the_line_on_standard_error(python_logging, capfdbinary, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    logger = logging.getLogger("halvenor_scb_lib")

    def refuse(record):
        raise ValueError("refused")

    logger.addFilter(refuse)
    try:
        lib.scb_log_error(b"kept")
    finally:
        logger.removeFilter(refuse)
    assert stderr_lines(capfdbinary) == [("ERROR", "kept", None)]
    assert [type(hook.exc_value) for hook in unraisable] == [ValueError]


def test_a_handler_may_log_through_the_library_and_switch_it_off(python_logging, capfdbinary):
    class Reentrant(logging.Handler):
        def emit(self, record):
            if record.getMessage() == "outer":
                lib.scb_log_info(b"inner")
                use_python_logging(False)

    logger = logging.getLogger("halvenor_scb_lib")
    handler = Reentrant()
    logger.addHandler(handler)
    # A daemon, so that a handler waiting for itself would fail the test, not hang it.
    thread = threading.Thread(target=lib.scb_log_info, args=(b"outer",), daemon=True)
    try:
        thread.start()
        thread.join(timeout=10)
    finally:
        logger.removeHandler(handler)
    assert not thread.is_alive()
    lib.scb_log_info(b"after")
    assert stderr_lines(capfdbinary) == [("INFO", "after", None)]
    assert [line[1] for line in record_lines(python_logging, capfdbinary)] == ["outer", "inner"]


def test_a_thread_ending_with_a_kept_connection_logs_its_close_on_standard_error(
    erp, scb_sandbox, pg, monkeypatch, python_logging, capfdbinary
):
    monkeypatch.setenv("SCB_REUSE_CONNECTIONS", "1")
    bank_account = str(erp.add_bank_account(erp.add_config()))
    codes = []
    thread = threading.Thread(
        target=lambda: codes.append(_binding.scb_api_create_qr_by_bank(bank_account, 1.0, "END", "T")["status"]["code"])
    )
    thread.start()
    thread.join(timeout=60)
    assert codes == [1000]
    # Closed by the thread's own clean-up, after its Python thread state is gone.
    assert pg.wait_for_client_connections(0) == 0
    deadline = time.monotonic() + 5
    while not (err := capfdbinary.readouterr().err) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert LINE.fullmatch(err.decode().rstrip("\n")).group(2, 3) == ("INFO", "Database connection closed")
    messages = [record.getMessage() for record in python_logging]
    assert "Database connection successful" in messages and "Database connection closed" not in messages


SHUTDOWN = """
import ctypes, logging, sys, threading, time
import halvenor_scb_lib as scb
logging.basicConfig(stream=sys.stdout, level=logging.INFO, format="%(levelname)s:%(message)s")
scb.use_python_logging()
lib = ctypes.CDLL(scb._binding.__file__)

def chatter():
    while True:
        lib.scb_log_info(b"daemon")

for _ in range(3):
    threading.Thread(target=chatter, daemon=True).start()
code = scb.scb_api_create_qr_by_bank(sys.argv[1], 1.0, "EXIT", "X")["status"]["code"]
sys.stdout.write(f"QR {code}\\n")
time.sleep(0.2)
"""


def test_interpreter_exit_while_daemon_threads_log(erp, scb_sandbox, pg, run_python):
    bank_account = str(erp.add_bank_account(erp.add_config()))
    done = run_python(
        f"import sys; sys.argv[1:] = [{bank_account!r}]\n" + SHUTDOWN, env={"SCB_REUSE_CONNECTIONS": "1"}
    )
    assert done.returncode == 0, done.stderr[-2000:]
    out = done.stdout.splitlines()
    assert "QR 1000" in out and "INFO:daemon" in out
    # Kept connections close at exit while the interpreter can still take the line.
    assert "INFO:Database connection closed" in out
    assert all(LINE.fullmatch(line) for line in done.stderr.splitlines()), done.stderr[-2000:]


FORK_WHILE_HANDING_OVER = """
import ctypes, logging, os, signal, threading
import halvenor_scb_lib as scb
lib = ctypes.CDLL(scb._binding.__file__)
inside, release = threading.Event(), threading.Event()

class Holding(logging.Handler):
    def emit(self, record):
        inside.set()
        release.wait()

logging.getLogger("halvenor_scb_lib").addHandler(Holding())
logging.getLogger("halvenor_scb_lib").setLevel(logging.INFO)
scb.use_python_logging()
holder = threading.Thread(target=lib.scb_log_info, args=(b"held",))
holder.start()
inside.wait()
child = os.fork()
if child == 0:
    signal.alarm(10)
    scb.use_python_logging(False)
    lib.scb_log_info(b"child")
    os._exit(0)
_, status = os.waitpid(child, 0)
release.set()
holder.join()
print(os.waitstatus_to_exitcode(status))
"""


def test_a_forked_child_does_not_wait_for_lines_of_threads_it_does_not_have(run_python):
    done = run_python(FORK_WHILE_HANDING_OVER)
    assert (done.returncode, done.stdout) == (0, "0\n"), done.stderr
    assert LINE.fullmatch(done.stderr.rstrip("\n")).group(2, 3) == ("INFO", "child")
