"""Log lines on standard error and the debug switch."""

from __future__ import annotations

import datetime
import re
import threading

import pytest

from cabi import lib

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


def test_lines_from_concurrent_threads_stay_whole(capfdbinary):
    workers, per_worker = 8, 150
    barrier = threading.Barrier(workers)

    def log(worker):
        barrier.wait()
        for i in range(per_worker):
            list(LEVELS.values())[i % 3](f"w{worker}-{i}-{'ก' * size(worker, i)}".encode())

    threads = [threading.Thread(target=log, args=(n,)) for n in range(workers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    lines = capfdbinary.readouterr().err.decode().split("\n")
    assert lines.pop() == ""
    seen = set()
    for line in lines:
        match = LINE.fullmatch(line)
        assert match, line[:100]
        worker, i, tail = match.group(3)[1:].split("-")
        assert tail == "ก" * size(int(worker), int(i)) and match.group(2) == list(LEVELS)[int(i) % 3]
        seen.add((worker, i))
    assert len(lines) == len(seen) == workers * per_worker
