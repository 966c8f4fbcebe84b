"""The command line and the demo, run as an operator would, in fresh interpreters."""

from __future__ import annotations

import base64
import http.client
import io
import itertools
import json
import os
import re
import signal
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pytest
import segno

import halvenor_scb_lib as scb
from bank_helpers import Shop
from halvenor_scb_lib import demo
from halvenor_scb_lib.qr_output import save_image

BILLER = "123456789012345"
TIMEOUT = 60


def cli(*args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "halvenor_scb_lib", *args], capture_output=True, text=True, timeout=TIMEOUT,
        env={**os.environ, **(env or {})}, check=False,
    )


def answer_of(done: subprocess.CompletedProcess[str]) -> dict:
    return json.loads(done.stdout)


@pytest.fixture
def account(erp):
    config_id = erp.add_config()
    return config_id, erp.add_bank_account(config_id, biller_id=BILLER)


@pytest.mark.parametrize("image_format", ["gif", "png"])
def test_qr_prints_json_saves_png_and_draws_on_stderr(account, scb_sandbox, tmp_path, image_format):
    _, bank_account_id = account
    scb_sandbox.configure(qr_image_format=image_format)
    png = tmp_path / "out" / "qr.png"
    done = cli("qr", str(bank_account_id), "100.50", "INV1", "CUST1", "--png", str(png), "--show-qr")
    assert done.returncode == 0, done.stderr
    answer = answer_of(done)
    assert answer["status"]["code"] == 1000 and "54061" in answer["data"]["qrRawData"]
    # The bank's GIF is drawn again from the payload, so that the file named .png holds a PNG.
    if image_format == "png":
        assert png.read_bytes() == base64.b64decode(answer["data"]["qrImage"])
    else:
        assert "the QR image is GIF, not PNG" in done.stderr and png_is_qr_of(png.read_bytes(),
                                                                              answer["data"]["qrRawData"])
    assert "▄" in done.stderr and f"QR image saved to {png}" in done.stderr


GIF = b"GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;"
JPEG = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00\xff\xd9"
PNG = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR"
PAYLOAD = "00020101021230470016A00000067701011201150105560123456780204INV15303764540510.005802TH6304ABCD"


def b64(image: bytes) -> str:
    return base64.b64encode(image).decode()


@pytest.mark.parametrize(
    "payload, image, note",
    [
        (PAYLOAD, b64(GIF), "the QR image is GIF, not PNG"),
        (PAYLOAD, b64(JPEG), "the QR image is JPEG, not PNG"),
        (PAYLOAD, b64(b"BM6\x00\x00\x00"), "the QR image is of an unknown format, not PNG"),
        (PAYLOAD, "", "the answer holds no QR image"),
        (PAYLOAD, "not*base64", "the QR image is not valid Base64"),
        ("", b64(GIF), None),
    ],
)
def test_png_of_an_image_that_is_not_png_is_drawn_from_the_payload(account, scb_sandbox, tmp_path, payload, image,
                                                                    note):
    _, bank_account_id = account
    scb_sandbox.script("qr", body={"status": {"code": 1000, "description": "Success"},
                                   "data": {"qrRawData": payload, "qrImage": image}})
    png = tmp_path / "qr.png"
    done = cli("qr", str(bank_account_id), "10", "INV1", "CUST1", "--png", str(png))
    if note is None:
        assert done.returncode == 1 and "no payload to draw one from" in done.stderr
        assert not png.exists()
        return
    assert done.returncode == 0, done.stderr
    assert note in done.stderr and "drew the PNG from the payload" in done.stderr
    assert png_is_qr_of(png.read_bytes(), payload)


@pytest.mark.parametrize("image, suffix", [(PNG, ".png"), (GIF, ".gif"), (JPEG, ".jpg"), (b"BM6\x00", None)])
def test_demo_writes_the_banks_image_as_what_it_is(tmp_path, image, suffix):
    stem = tmp_path / "out" / "invoice-qr"
    if suffix is None:
        with pytest.raises(ValueError, match="neither PNG, GIF nor JPEG"):
            save_image(b64(image), stem)
        assert not stem.parent.exists()
        return
    saved = save_image(b64(image), stem)
    assert (saved, saved.read_bytes()) == (stem.with_name("invoice-qr" + suffix), image)


def test_invoice_qr_second_call_comes_from_the_database(account, scb_sandbox, tmp_path):
    config_id, bank_account_id = account
    args = ["invoice-qr", "--invoice", "42", "--company", "1", "--config", str(config_id),
            "--bank-account", str(bank_account_id), "--reference", "INV42", "--amount", "99.90"]
    first = cli(*args)
    assert first.returncode == 0, first.stderr
    assert "status" not in answer_of(first)
    requests = len(scb_sandbox.requests)

    png = tmp_path / "again.png"
    again = cli(*args, "--png", str(png))
    assert again.returncode == 0, again.stderr
    stored = answer_of(again)
    assert (stored["status"], stored["intent_id"]) == ("pending", answer_of(first)["intent_id"])
    assert base64.b64decode(stored["qr_image_base64"]).startswith(b"GIF89a")
    assert png_is_qr_of(png.read_bytes(), stored["qr_payload"])
    assert len(scb_sandbox.requests) == requests


@pytest.mark.parametrize("ref3", [None, "ERP7"])
def test_invoice_qr_sends_the_reference_3_given(account, scb_sandbox, ref3):
    config_id, bank_account_id = account
    given = [] if ref3 is None else ["--ref3", ref3]
    done = cli("invoice-qr", "--invoice", "42", "--company", "1", "--config", str(config_id), "--bank-account",
               str(bank_account_id), "--reference", "INV42", "--amount", "99.90", *given)
    assert done.returncode == 0, done.stderr
    (request,) = scb_sandbox.requests_to("qr")
    assert request.body == (f'{{"qrType":"PP","ppType":"BILLERID","ppId":"{BILLER}","amount":"99.90",'
                            f'"ref1":"INV42","ref2":"INVOICE","ref3":"{ref3 or "SCB"}"}}').encode()


@pytest.mark.parametrize("form", ["transaction", "references"])
def test_inquiry_finds_a_paid_invoice(account, scb_sandbox, form):
    config_id, bank_account_id = account
    invoice = scb.invoice_qr(5, 1, config_id, "INV5", "20.00", bank_account_id)
    payment = scb_sandbox.pay(invoice["qr_payload"], partner_transaction_id="PTX5")
    scb_sandbox.pay(invoice["qr_payload"])
    lookup = (["--transaction-ref", "PTX5"] if form == "transaction"
              else ["--biller-id", BILLER, "--reference1", "INV5", "--amount", "20"])
    done = cli("inquiry", str(config_id), *lookup, "--date", payment["transactionDateandTime"][:10])
    assert done.returncode == 0, done.stderr
    found = [p["partnerTransactionId"] for p in answer_of(done)["data"]]
    assert found == (["PTX5"] if form == "transaction" else ["PTX5", ""])
    assert answer_of(done)["data"][0] == payment


@pytest.mark.parametrize("presented", [True, False])
def test_commands_present_the_client_certificate_the_environment_names(erp, scb_sandbox, presented):
    scb_sandbox.configure(require_client_certificate=True)
    config_id = erp.add_config()
    done = cli("token", str(config_id), env=scb_sandbox.client_environ() if presented else {})
    assert (done.returncode, answer_of(done)["status"]["code"]) == ((0, 1000) if presented else (1, 9101))
    assert [request.client_certificate for request in scb_sandbox.requests] == (
        ["halvenor SCB sandbox client"] if presented else [])


def test_token_is_masked_unless_asked_for(erp, scb_sandbox):
    config_id = erp.add_config()
    masked = cli("token", str(config_id))
    assert masked.returncode == 0 and answer_of(masked)["data"]["accessToken"] == "***"
    shown = cli("token", str(config_id), "--show-token")
    assert answer_of(shown)["data"]["accessToken"] == scb_sandbox.issued_tokens[-1]
    assert not any(token in masked.stdout + masked.stderr for token in scb_sandbox.issued_tokens)


@pytest.mark.parametrize(
    "args, code",
    [
        (["qr", "{missing_account}", "10", "INV1", "CUST1"], 9003),
        (["qr", "{bank_account}", "10", "inv-1", "CUST1"], 1102),
        (["invoice-qr", "--invoice", "1", "--company", "1", "--config", "{config}", "--bank-account",
          "{missing_account}", "--reference", "INV1", "--amount", "10"], 9003),
        (["inquiry", "{missing_config}", "--transaction-ref", "TX1"], 9003),
        (["token", "{missing_config}"], 9002),
    ],
)
def test_failure_answers_exit_1_with_json_and_no_png(account, scb_sandbox, tmp_path, args, code):
    config_id, bank_account_id = account
    ids = {"config": config_id, "missing_config": config_id + 1, "bank_account": bank_account_id,
           "missing_account": bank_account_id + 1}
    png = tmp_path / "qr.png"
    png_args = ["--png", str(png)] if args[0] in ("qr", "invoice-qr") else []
    done = cli(*[arg.format(**ids) for arg in args], *png_args)
    assert (done.returncode, answer_of(done)["status"]["code"]) == (1, code), done.stderr
    assert not png.exists()


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "required: COMMAND"),
        (["refund", "1"], "invalid choice: 'refund'"),
        (["qr", "x1", "10", "INV1", "CUST1"], "bank_account_id must be an integer, got 'x1'"),
        (["qr", "1", "nan", "INV1", "CUST1"], "amount must be a finite number"),
        (["qr", "1", "10.005", "INV1", "CUST1"], "amount must not have more than two decimals"),
        (["qr", "1", "10"], "required: REF1, REF2"),
        (["invoice-qr", "--invoice", "1"], "required: --company, --config, --bank-account"),
        (["inquiry", "1"], "give --transaction-ref, or --biller-id and --reference1"),
        (["inquiry", "1", "--biller-id", BILLER], "give --transaction-ref, or --biller-id and --reference1"),
        (["inquiry", "1", "--transaction-ref", "TX1", "--date", "31/01/2026"], "date must be written YYYY-MM-DD"),
        (["token", "99999999999"], "config_id 99999999999 is out of range"),
        (["reconcile", "1", "--days", "0"], "days must be at least 1, got 0"),
        (["reconcile", "1", "--days", "two"], "days must be an integer, got 'two'"),
        (["reconcile", "1", "--max-rate", "0"], "max_rate must be at least 1, got 0"),
        (["reconcile", "1", "--max-rate", "2.5"], "max_rate must be an integer, got '2.5'"),
        (["webhook", "--port", "70000"], "port must be a number from 0 to 65535, got '70000'"),
        (["listen", "--timeout", "-1"], "timeout must be a number of seconds, at least 0, got '-1'"),
        (["cancel-invoice-qr", "1"], "required: COMPANY_ID"),
    ],
)
def test_bad_arguments_exit_2_with_a_message(no_pg_env, args, message):
    done = cli(*args)
    assert (done.returncode, done.stdout) == (2, "")
    assert message in done.stderr
    assert "Traceback" not in done.stderr


def test_unreachable_database_exits_3_without_output(tmp_path):
    done = cli("invoice-qr", "--invoice", "1", "--company", "1", "--config", "1", "--bank-account", "1",
               "--reference", "INV1", "--amount", "10", env={"PGHOST": str(tmp_path), "PGPORT": "1"})
    assert (done.returncode, done.stdout) == (3, "")
    assert "error: Failed to connect to database" in done.stderr


def test_bank_answer_that_is_not_json_exits_3(account, scb_sandbox):
    _, bank_account_id = account
    scb_sandbox.script("qr", status=200, body="<html>maintenance</html>")
    done = cli("qr", str(bank_account_id), "10", "INV1", "CUST1")
    assert (done.returncode, done.stdout) == (3, "")
    assert "error: unreadable answer" in done.stderr


@pytest.mark.parametrize("trouble, status, checks", [
    (None, 0, [(1, "confirmed"), (2, "not_verified")]),
    ("an intent's check", 1, [(1, "error"), (2, "not_verified")]),
    ("the run", 1, None),
])
def test_reconcile_prints_the_checks_and_exits_1_when_one_or_the_run_failed(shop, trouble, status, checks):
    shop.paid(1)
    shop.invoice(2)
    config_id = shop.config_id
    if trouble == "an intent's check":
        shop.sandbox.fault("inquiry", drop=True, times=1)
    elif trouble == "the run":
        config_id += 100

    done = cli("reconcile", str(config_id), "--days", "2")

    assert done.returncode == status, done.stderr
    answer = answer_of(done)
    if checks is None:
        assert answer == {"status": {"code": 9003, "description": "SCB configuration not found or inactive"},
                          "data": None}
    else:
        assert [(check["invoice_id"], check["outcome"]) for check in answer["data"]] == checks
    assert shop.intent(1)["status"] == ("confirmed" if trouble is None else "pending")


def test_reconcile_paces_its_inquiries_with_max_rate(erp):
    shop = Shop(erp)
    for invoice_id in (1, 2, 3):
        shop.paid(invoice_id)

    done = cli("reconcile", str(shop.config_id), "--max-rate", "2")

    assert done.returncode == 0, done.stderr
    assert [check["outcome"] for check in answer_of(done)["data"]] == ["confirmed"] * 3
    starts = [request.received_at for request in shop.sandbox.requests_to("inquiry")]
    assert starts[2] - starts[0] >= 1.0 - 0.1


def test_cancel_invoice_qr_exits_1_when_the_invoice_is_paid(shop):
    shop.invoice(1)
    paid = shop.paid(2)
    assert scb.confirm_payment(paid)["outcome"] == "confirmed"

    pending, confirmed = cli("cancel-invoice-qr", "1", "1"), cli("cancel-invoice-qr", "2", "1")

    assert (pending.returncode, answer_of(pending)["data"]) == (0, {"cancelled": [1], "confirmed": []})
    assert (confirmed.returncode, answer_of(confirmed)["data"]) == (1, {"cancelled": [], "confirmed": [2]})
    assert [row["status"] for row in shop.erp.intents()] == ["cancelled", "confirmed"]


def test_webhook_command_serves_the_webhook_until_interrupted(shop):
    paid = shop.paid(1001)
    command = [sys.executable, "-m", "halvenor_scb_lib", "webhook", "--port", "0"]
    with subprocess.Popen(command, stderr=subprocess.PIPE, text=True) as process:
        try:
            listening = ""
            while "webhook on" not in listening and process.poll() is None:
                listening = process.stderr.readline()
            host, port = re.findall(r"webhook on http://([\d.]+):(\d+)/", listening)[0]
            assert host == "127.0.0.1"
            replies = [post_json(port, method, paid) for method in ("GET", "POST")]
        finally:
            process.send_signal(signal.SIGINT)
            rest = process.communicate(timeout=10)[1]
    assert process.returncode == 0, rest
    assert replies[0][:2] == (405, "40")
    assert replies[1] == (200, "00", "Payment confirmed")
    assert shop.intent(1001)["status"] == "confirmed"
    assert '"POST /scb HTTP/1.1" 200' in rest and "Traceback" not in rest


def post_json(port: str, method: str, record: dict) -> tuple:
    connection = http.client.HTTPConnection("127.0.0.1", int(port), timeout=TIMEOUT)
    try:
        connection.request(method, "/scb", body=json.dumps(record), headers={"Content-Type": "application/json"})
        response = connection.getresponse()
        acknowledgement = json.loads(response.read())
    finally:
        connection.close()
    return response.status, acknowledgement["resCode"], acknowledgement["resDesc"]


def test_version_and_sandbox_command():
    version = cli("--version")
    assert (version.returncode, version.stdout.strip()) == (0, f"halvenor-scb {scb.__version__}")
    sandbox = cli("sandbox", "--help")
    assert sandbox.returncode == 0 and "--token-lifetime" in sandbox.stdout


def png_is_qr_of(png: bytes, payload: str) -> bool:
    """Whether a 1-bit greyscale PNG (as the bank's images are) shows the QR symbol of payload."""
    chunks, offset = {}, 8
    while offset < len(png):
        length, kind = struct.unpack(">I4s", png[offset:offset + 8])
        chunks[kind] = chunks.get(kind, b"") + png[offset + 8:offset + 8 + length]
        offset += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert (depth, colour) == (1, 0)
    stride, raw, rows = (width + 7) // 8, zlib.decompress(chunks[b"IDAT"]), []
    previous = bytes(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)]
        assert kind in (0, 2), f"unexpected PNG filter {kind}"
        previous = line if kind == 0 else bytes((a + b) & 0xFF for a, b in zip(line, previous))
        rows.append(previous)

    def dark(x: int, y: int) -> bool:
        return not rows[y][x // 8] >> (7 - x % 8) & 1

    for error, mask in itertools.product("lmqh", range(8)):
        matrix = segno.make_qr(payload, error=error, mask=mask).matrix
        scale, border = divmod(width, len(matrix) + 8)[0], 4
        if scale and all(
            dark((border + i) * scale + scale // 2, (border + j) * scale + scale // 2) == bool(module)
            for j, row in enumerate(matrix) for i, module in enumerate(row)
        ):
            return True
    return False


@pytest.mark.parametrize("verbose", [False, True], ids=["library-log", "verbose"])
def test_demo_runs_end_to_end(tmp_path, verbose):
    out = tmp_path / "demo-out"
    done = cli("demo", "--out", str(out), *(["--verbose"] if verbose else []))
    assert done.returncode == 0, done.stdout + done.stderr
    # The library's lines go to the file, or to standard error with --verbose; the demo's own to standard output.
    library_log = out / "library.log"
    if verbose:
        assert "INFO: Intent confirmed: id=2" in done.stderr and not library_log.exists()
    else:
        assert done.stderr == "" and "INFO halvenor_scb_lib: Intent confirmed: id=2" in library_log.read_text()
    assert "[CORVANE]" not in done.stdout
    assert "Demo finished: every step succeeded" in done.stdout
    assert "the sandbox saw no new request" in done.stdout
    assert re.search(r"found the payment: transaction SBX\w+, 250\.00 THB", done.stdout)
    # The first invoice is confirmed by the bank's callback through the webhook, the second by reconciling.
    (paid,) = re.findall(r"bank transaction (SBX\w+) *$", done.stdout, re.MULTILINE)
    (lost,) = re.findall(r"bank transaction (SBX\w+); no callback was sent", done.stdout)
    assert re.search(r'it answered HTTP 200 \{"resCode": "00", "resDesc": "Payment confirmed", '
                     rf'"transactionId": "{paid}", "confirmId": "1"\}}', done.stdout)
    assert [line.strip() for line in done.stdout.splitlines() if "in the database: status" in line] == [
        f"payment intent 1 of invoice 1001 in the database: status confirmed, transaction {paid}",
        "payment intent 2 of invoice 1002 in the database: status pending",
        f"payment intent 2 of invoice 1002 in the database: status confirmed, transaction {lost}",
    ]
    assert f"intent 2 of invoice 1002: confirmed (transaction {lost})" in done.stdout
    # The ERP's listener, started before the first payment, hears each confirmation once.
    heard = [json.loads(line) for line in re.findall(r"the ERP's listener heard: (.+)", done.stdout)]
    assert [(event["outcome"], event["invoice_id"], event["transaction_id"]) for event in heard] == [
        ("confirmed", 1001, paid), ("confirmed", 1002, lost)]
    assert done.stdout.index("payment listener") < done.stdout.index("Paying the invoice QR")
    # A payload holds spaces where the merchant's name has them.
    payloads = re.findall(r"payload: (.+)", done.stdout)
    images = [out / "bank-account-qr.png", out / "invoice-qr.png"]
    assert len(payloads) == 2 and "INV1001" in payloads[1]
    assert all(png_is_qr_of(image.read_bytes(), payload) for image, payload in zip(images, payloads))
    # What the demo started is gone: the cluster's directory and the sandbox's CA.
    (socket_dir,) = re.findall(r"database erp on (\S+) ", done.stdout)
    (ca_file,) = re.findall(r"CA file (\S+)", done.stdout)
    assert not Path(socket_dir).parent.exists() and not Path(ca_file).exists()


def test_demo_failing_step_exits_1_and_cleans_up(tmp_path, monkeypatch):
    monkeypatch.setenv("PGHOST", "/callers/own/host")
    monkeypatch.setenv("PGPASSWORD", "callers-own")
    before = dict(os.environ)
    # The bank refuses lower-case references, so the invoice step fails.
    monkeypatch.setattr(demo, "INVOICE_REFERENCE", "inv-1001")
    out = io.StringIO()
    assert demo.run(tmp_path, terminal_qr=False, out=out) == 1
    text = out.getvalue()
    assert "[5] Creating the QR of invoice 1001" in text and "FAILED: the answer reports a failure" in text
    assert "[6]" not in text and text.endswith("Stopped everything the demo started.\nDemo failed at step 5.\n")
    (socket_dir,) = re.findall(r"database erp on (\S+) ", text)
    assert not Path(socket_dir).parent.exists()
    assert dict(os.environ) == before


def test_the_demo_stands_apart_from_the_command_line_which_uses_only_public_names(run_python):
    done = run_python("import sys, halvenor_scb_lib.demo; print('halvenor_scb_lib.cli' in sys.modules)")
    assert done.stdout.strip() == "False", done.stderr
    source = Path(scb.__file__).with_name("cli.py").read_text()
    assert re.findall(r"\bscb\._(?!_)\w+", source) == []
