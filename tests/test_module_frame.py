"""The extension module as Python and C callers see it: method table, argument
parsing, the two placeholder methods, and a silent import."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import halvenor_scb_lib._binding as binding
from cabi import lib

HEADER = Path(__file__).resolve().parents[1] / "include" / "scb.h"

METHODS = [
    ("scb_api_create_qr", "Create SCB QR code"),
    ("scb_api_create_qr_full", "Create SCB QR code with full parameters"),
    ("scb_api_create_qr_by_bank", "Create SCB QR code using bank account ID (fetches config from database)"),
    ("scb_api_check_payment", "Check SCB payment status"),
    ("scb_api_refresh_token", "Refresh SCB access token"),
    ("scb_api_payment_inquiry", "Check SCB payment status via payment inquiry API"),
    ("create_qr_for_invoice", "Create QR for invoice with intent caching (returns cached QR if exists)"),
    ("scb_api_confirm_payment",
     "Verify the bank's payment confirmation record and confirm the invoice's intent once"),
    ("scb_api_reconcile_intents",
     "Check the pending intents of a configuration with the bank's inquiry and confirm the paid ones"),
    ("scb_api_check_database",
     "Check the ERP database's tables, columns, indexes and privileges for the module, changing nothing"),
    ("close_connections", "Close the database and bank connections this process keeps (SCB_REUSE_CONNECTIONS)"),
    ("use_python_logging",
     "Send the library's log lines to the logger 'halvenor_scb_lib' (True) or to standard error (False)"),
    ("scb_api_cancel_invoice_qr",
     "Cancel the pending QR of an invoice (its intents cancelled); a confirmed intent is never cancelled"),
    ("listen_payment_events",
     "Open a session of its own listening for payment notifications; ConnectionError when it cannot"),
    ("next_payment_event", "The next payment notification as a dict, or None after timeout seconds without one"),
    ("close_payment_events", "Close a payment listener's session"),
]
QR_TEXT = (
    '{{"error": "Not implemented", "message": "Use scb_create_qr_by_bank_account() or scb_create_qr_full()", '
    '"reference": "{}", "amount": {}, "channel": "{}", "config_id": "{}"}}'
)
CHECK_TEXT = '{{"status": "pending", "reference": "{}"}}'


def cut(text, limit):
    """text cut to at most limit bytes of UTF-8 without leaving part of a character."""
    return text.encode()[:limit].decode("utf-8", errors="ignore")


def test_method_table_order_and_doc_strings():
    assert [(name, f.__doc__) for name, f in vars(binding).items() if callable(f)] == METHODS
    assert binding.__doc__ == "Halvenor SCB C Extension"


def test_every_c_function_is_exported_and_the_wrappers_are_not():
    declared = re.findall(r"SCB_EXPORT [^;(]*?\b((?:scb|http)_\w+)\(", HEADER.read_text())
    assert len(declared) >= 20 and [name for name in declared if not hasattr(lib, name)] == []
    for private in [name for name, _ in METHODS if name != "close_connections"] + [
        "scb_api_create_qr_for_invoice", "json_string_to_dict"
    ]:
        assert not hasattr(lib, private), private


def test_the_extension_exports_exactly_the_header_and_its_init():
    declared = set(re.findall(r"SCB_EXPORT [^;(]*?\b((?:scb|http)_\w+)\(", HEADER.read_text()))
    listed = subprocess.run(["nm", "-D", "--defined-only", binding.__file__], capture_output=True, text=True,
                            check=True).stdout.split("\n")
    exported = {fields[-1] for fields in map(str.split, listed) if len(fields) == 3 and fields[1] in "TtWwDdBbRrVvi"}
    assert exported == declared | {"PyInit__binding"}


URL = "https://127.0.0.1:9/"


@pytest.mark.parametrize(
    ("method", "args", "error"),
    [
        ("scb_api_check_payment", (), TypeError),
        ("scb_api_check_payment", (5,), TypeError),
        ("scb_api_check_payment", ("A", "B"), TypeError),
        ("scb_api_check_payment", ("A\0B",), ValueError),
        ("scb_api_check_payment", ("\udc80",), UnicodeEncodeError),
        ("scb_api_create_qr", ("7", "100", "INV1"), TypeError),
        ("scb_api_create_qr", ("7", 1.0), TypeError),
        ("scb_api_create_qr", ("7", 1.0, "INV1", "pos", "extra"), TypeError),
        ("scb_api_create_qr_full", ("k", "t", URL, "b", 1.0, "r1"), TypeError),
        ("scb_api_create_qr_full", ("k", "t", URL, "b", "1.0", "r1", "r2"), TypeError),
        ("scb_api_create_qr_full", ("k", "t", URL, "b", 1.0, "r1", None), TypeError),
        ("scb_api_create_qr_by_bank", ("1", 1.0, "r1"), TypeError),
        ("scb_api_refresh_token", (1,), TypeError),
        ("create_qr_for_invoice", (1.5, 1, 1, "r", 1.0, "1"), TypeError),
        ("create_qr_for_invoice", (2**31, 1, 1, "r", 1.0, "1"), OverflowError),
    ],
)
def test_bad_arguments_raise_the_parser_error_before_anything_runs(capfd, method, args, error):
    with pytest.raises(error):
        getattr(binding, method)(*args)
    assert capfd.readouterr() == ("", "")


def test_positional_methods_take_no_keywords(capfd):
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        binding.scb_api_create_qr("7", 1.0, "INV1", channel="pos")
    assert capfd.readouterr().err == ""


def test_check_payment_placeholder(capfd):
    assert binding.scb_api_check_payment("ABC") == '{"status": "pending", "reference": "ABC"}'
    assert re.fullmatch(r"\[CORVANE\] \[[^]]{24}\] INFO: Payment status check initiated\n", capfd.readouterr().err)


@pytest.mark.parametrize(
    ("amount", "printed"),
    [(100.5, "100.50"), (0.1, "0.10"), (0, "0.00"), (-5, "-5.00"), (16777217, "16777217.00"),
     (1234567.89, "1234567.89")],
)
def test_create_qr_placeholder_keeps_double_precision(capfd, amount, printed):
    assert binding.scb_api_create_qr("7", amount, "INV1") == QR_TEXT.format("INV1", printed, "ecomm", "7")
    assert binding.scb_api_create_qr("7", amount, "INV1", "pos") == QR_TEXT.format("INV1", printed, "pos", "7")
    assert "INFO: QR code creation initiated (stub - needs database integration)\n" in capfd.readouterr().err


@pytest.mark.parametrize(
    "reference",
    ["R" * 300, "é" * 150, "ก" * 100, "😀" * 60, "x" + "😀" * 60, 'A"B\\', "R" * 217, "R" * 218],
    ids=["ascii", "2-byte", "3-byte", "4-byte", "4-byte-shifted", "unescaped-quote", "fits-exactly", "one-over"],
)
def test_check_payment_text_is_cut_at_255_bytes_on_a_character_boundary(reference):
    full = CHECK_TEXT.format(reference)
    text = binding.scb_api_check_payment(reference)
    assert text == cut(full, 255) and len(text.encode()) >= min(252, len(full.encode()))


@pytest.mark.parametrize(
    ("config_id", "reference", "channel"),
    [("7", "R" * 400, "ecomm"), ("7", "INV1", "é" * 200), ("ก" * 120, "INV1", "ecomm"), ("7", "😀" * 100, "x"),
     ("7", "ab" + "😀" * 100, "x"), ("7", "R" * 338, "ecomm")],
    ids=["ascii", "2-byte-channel", "3-byte-config", "4-byte", "4-byte-shifted", "fits-exactly"],
)
def test_create_qr_text_is_cut_at_511_bytes_on_a_character_boundary(config_id, reference, channel):
    full = QR_TEXT.format(reference, "1.00", channel, config_id)
    text = binding.scb_api_create_qr(config_id, 1, reference, channel)
    assert text == cut(full, 511) and len(text.encode()) >= min(508, len(full.encode()))


# The file is located before the markers, so that only loading and initialising
# the extension falls between them.
IMPORT_PROBE = f"""
import importlib.util, os
found = importlib.util.spec_from_file_location("halvenor_scb_lib._binding", {binding.__file__!r})
os.write(2, b"<import>")
module = importlib.util.module_from_spec(found)
os.write(2, b"</import>")
assert module.__doc__ == "Halvenor SCB C Extension"
"""


def test_import_prints_nothing(run_python):
    result = run_python(IMPORT_PROBE, env={"SCB_DEBUG": "1", "PGHOST": "127.0.0.1"})
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "<import></import>")


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
@pytest.mark.skipif("san" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer runtime reads files of its own")
def test_import_touches_no_file_network_or_database(run_python, tmp_path):
    trace = tmp_path / "trace"
    tracer = (
        "import subprocess, sys\n"
        f"sys.exit(subprocess.run(['strace', '-f', '-qq', '-o', {str(trace)!r}, '-e',"
        " 'trace=open,openat,connect,socket,sendto,write,unlink,mkdir,rename',"
        f" sys.executable, '-c', {IMPORT_PROBE!r}]).returncode)"
    )
    result = run_python(tracer, env={"SCB_DEBUG": "1", "PGHOST": "127.0.0.1"})
    if result.returncode != 0 and "ptrace" in result.stderr:
        pytest.skip("tracing is not permitted here")
    assert result.returncode == 0, result.stderr
    calls = trace.read_text().split("<import>", 1)[1].split("</import>", 1)[0].splitlines()[1:-1]
    assert any(Path(binding.__file__).name in call for call in calls)  # the trace did see the loading
    # Only the dynamic loader may open anything: shared libraries and its cache.
    loader = re.compile(r'\d+\s+open(at)?\(.*"([^"]*\.so(\.[\d.]+)?|/etc/ld\.so\.cache)"')
    assert [call for call in calls if " = -1 " not in call and not loader.match(call)] == []
