#!/usr/bin/env python3
"""The fault catalogue: one-line slips in the code that decides money and safety, each of which the
tests must catch.

Every fault is an exact text replacement in one file, with the tests that should fail once it is in.
The check copies the working tree to a scratch directory, builds the extension there once (unoptimised,
for fast rebuilds), then for each fault applies it, rebuilds incrementally, runs its tests against the
scratch copy, and puts the file back:

  caught          the tests failed, or did not finish within the time limit
  survived        the tests passed: a slip no test sees
  not applicable  the original text is no longer in the file exactly once (the code moved): update it
  broken          the fault does not build, or its tests cannot run (fix the entry)

The tests of every applicable fault first run once without any fault, and must pass.

    python3 scripts/mutation-check.py              every fault
    python3 scripts/mutation-check.py NAME...      only these
    python3 scripts/mutation-check.py --list       the catalogue, marking the faults whose text moved

Exits 1 when a fault survived or is broken, 2 when the tests fail without any fault. It needs the test
dependencies in the running interpreter (`pip install '.[test]'`), CMake and a C++ compiler.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
TEST_TIMEOUT = 300.0
OUTPUT_TAIL = 40


@dataclass(frozen=True)
class Fault:
    name: str
    path: str
    original: str
    replacement: str
    tests: tuple[str, ...]
    """pytest node ids under tests/: a file, or file::test for every case of one test."""


def fault(name: str, path: str, original: str, replacement: str, *tests: str) -> Fault:
    return Fault(name, path, original, replacement, tests)


CONFIRMATION = "src/lib/confirmation.cpp"
RECONCILIATION = "src/lib/reconciliation.cpp"
READERS = "src/lib/readers.cpp"
SQL = "src/lib/sql.hpp"
TOKEN_CACHE = "src/lib/token_cache.cpp"
DB = "src/lib/db.cpp"
HTTP = "src/lib/http.cpp"
WEBHOOK = "src/halvenor_scb_lib/webhook.py"
CONFIRM_TESTS = "test_payment_confirmation.py"

CATALOGUE: tuple[Fault, ...] = (
    # Payment confirmation: which intent a payment settles, and whether.
    fault("amount-compared-in-whole-baht", CONFIRMATION,
          "if (satang_of(intent.amount) != payment.satang) {",
          "if (satang_of(intent.amount).value_or(0) / 100 != payment.satang / 100) {",
          f"{CONFIRM_TESTS}::test_a_verified_payment_of_another_amount_is_a_mismatch"),
    fault("verified-by-transaction-alone", CONFIRMATION,
          "if (payment.transaction_id == record.transaction_id && payment.satang == record.satang) {",
          "if (payment.transaction_id == record.transaction_id) {",
          f"{CONFIRM_TESTS}::test_the_records_transaction_at_another_amount_does_not_verify_it"),
    fault("late-payment-for-a-cancelled-qr-taken-as-a-mismatch", CONFIRMATION,
          "return PQntuples(cancelled.get()) > 0 ? PaymentOutcome::kUnmatched : PaymentOutcome::kAmountMismatch;",
          "return PQntuples(cancelled.get()) > 1 ? PaymentOutcome::kUnmatched : PaymentOutcome::kAmountMismatch;",
          f"{CONFIRM_TESTS}::test_a_late_payment_for_a_cancelled_qr_does_not_pay_the_invoices_new_qr"),
    fault("reference2-not-checked", CONFIRMATION,
          "if (record.reference2 != kInvoiceReference2 || PQntuples(match.get()) == 0) {",
          "if (PQntuples(match.get()) == 0) {",
          f"{CONFIRM_TESTS}::test_a_payment_for_no_live_intent_is_unmatched_and_logged"),
    fault("replay-taken-for-a-second-payment", CONFIRMATION,
          "return payment.transaction_id == intent.transaction_id ? PaymentOutcome::kAlreadyConfirmed",
          "return payment.transaction_id != intent.transaction_id ? PaymentOutcome::kAlreadyConfirmed",
          f"{CONFIRM_TESTS}::test_a_replay_is_already_confirmed_and_a_second_payment_a_duplicate"),
    fault("race-loser-reads-a-duplicate", CONFIRMATION,
          "return payment.transaction_id == first_row_text(state.get(), 1) ? PaymentOutcome::kAlreadyConfirmed",
          "return payment.transaction_id != first_row_text(state.get(), 1) ? PaymentOutcome::kAlreadyConfirmed",
          f"{CONFIRM_TESTS}::test_two_deliveries_at_once_confirm_once"),
    fault("unreadable-inquiry-answer-handed-on", CONFIRMATION,
          "if (!answer || reading == InquiryPayments::kBankFailure) {",
          "if (!answer || reading != InquiryPayments::kNotJson) {",
          f"{CONFIRM_TESTS}::test_a_database_token_or_bank_failure_answers_its_envelope_and_changes_nothing",
          "test_webhook.py::test_a_served_webhook_answers_send_again_later_to_anything_unexpected"),
    fault("fractional-status-code-accepted", READERS,
          "if (!cJSON_IsNumber(code) || code->valuedouble != static_cast<double>(code->valueint)) {",
          "if (!cJSON_IsNumber(code)) {",
          f"{CONFIRM_TESTS}::test_a_database_token_or_bank_failure_answers_its_envelope_and_changes_nothing"),
    fault("success-without-a-list-is-no-payment", READERS,
          "    if (!cJSON_IsArray(data)) {\n        return read;",
          "    if (data == nullptr) {\n        return read;",
          f"{CONFIRM_TESTS}::test_a_database_token_or_bank_failure_answers_its_envelope_and_changes_nothing"),
    fault("no-such-record-only-with-a-list", READERS,
          "if (code->valueint == kNoSuchRecord) {",
          'if (code->valueint == kNoSuchRecord && cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(answer.get(), "data"))) {',
          f"{CONFIRM_TESTS}::test_the_banks_own_answer_is_its_failure_and_no_such_record_is_no_payment"),
    fault("match-ignores-the-intents-configuration", SQL,
          '"EXISTS (SELECT 1 FROM res_partner_bank b WHERE b.scb_api_config_id = i.scb_api_config_id AND b.use_scb_qr = true "',
          '"EXISTS (SELECT 1 FROM res_partner_bank b WHERE b.use_scb_qr = true "',
          f"{CONFIRM_TESTS}::test_a_payment_for_no_live_intent_is_unmatched_and_logged"),
    fault("match-takes-a-cancelled-intent", SQL,
          "\"FROM scb_payment_intent i WHERE i.reference = $2 AND i.status NOT IN ('expired', 'cancelled', 'failed') AND \"",
          "\"FROM scb_payment_intent i WHERE i.reference = $2 AND i.status NOT IN ('expired', 'failed') AND \"",
          f"{CONFIRM_TESTS}::test_a_payment_for_no_live_intent_is_unmatched_and_logged"),
    fault("confirmation-not-conditioned-on-pending", SQL,
          "\"status = 'pending' RETURNING id\"",
          "\"status <> 'expired' RETURNING id\"",
          f"{CONFIRM_TESTS}::test_two_deliveries_at_once_confirm_once"),
    # Reconciliation: what the bank is asked, and which payment settles an intent.
    fault("one-date-after-today", RECONCILIATION,
          "if (dates.back() >= last) {",
          "if (dates.back() > last) {",
          f"{CONFIRM_TESTS}::test_reconciling_asks_each_thai_date_from_the_intents_creation_to_today"),
    fault("first-payment-found-ends-the-search", RECONCILIATION,
          "if (search.payment && search.payment->satang == expected) {",
          "if (search.payment) {",
          f"{CONFIRM_TESTS}::test_an_earlier_partial_payment_does_not_end_the_search"),
    fault("reconciliation-asks-with-the-amount", RECONCILIATION,
          'const InquiryQuery query{"", biller, intent.reference, kInvoiceReference2, "", date};',
          "const InquiryQuery query{\"\", biller, intent.reference, kInvoiceReference2, intent.amount, date};",
          f"{CONFIRM_TESTS}::test_reconciling_confirms_the_paid_intents_once_and_leaves_the_rest_pending"),
    fault("claim-waits-on-a-held-intent", SQL,
          "\"WHERE i.id = $1 AND i.status = 'pending' FOR UPDATE SKIP LOCKED\"",
          "\"WHERE i.id = $1 AND i.status = 'pending' FOR UPDATE\"",
          f"{CONFIRM_TESTS}::test_a_reconciliation_passes_over_an_intent_another_session_holds"),
    fault("pending-window-one-day-wider", SQL,
          '"created_at >= (((NOW() AT TIME ZONE \'UTC\') + interval \'7 hours\')::date - ($2::integer - 1)) - "',
          '"created_at >= (((NOW() AT TIME ZONE \'UTC\') + interval \'7 hours\')::date - $2::integer) - "',
          f"{CONFIRM_TESTS}::test_reconciling_confirms_the_paid_intents_once_and_leaves_the_rest_pending"),
    fault("pending-window-opens-at-utc-midnight", SQL,
          '"interval \'7 hours\' ORDER BY id";',
          "\"interval '0 hours' ORDER BY id\";",
          f"{CONFIRM_TESTS}::test_the_window_opens_at_midnight_in_thailand_on_its_first_day"),
    fault("pacing-never-set", RECONCILIATION,
          "channel->pacer = Pacer(max_rate);",
          "channel->pacer = Pacer(max_rate > 0 ? 0 : 0);",
          f"{CONFIRM_TESTS}::test_the_c_interface_paces_a_reconciliation_or_not"),
    fault("pacing-a-little-fast", "src/util/pacer.hpp",
          "return (second + std::chrono::nanoseconds(per_second - 1)) / per_second;",
          "return (second + std::chrono::nanoseconds(per_second - 1)) / (per_second + 1);",
          f"{CONFIRM_TESTS}::test_the_c_interface_paces_a_reconciliation_or_not"),
    # Payment notifications: what the ERP hears, and only what was kept.
    fault("confirmation-kept-when-its-notification-failed", CONFIRMATION,
          "    if (settled && !settling.commit()) {",
          "    if (!settling.commit() && !settled) {",
          f"{CONFIRM_TESTS}::test_a_confirmation_whose_transaction_fails_is_neither_kept_nor_heard"),
    fault("replay-notified", CONFIRMATION,
          "    return outcome == PaymentOutcome::kConfirmed || outcome == PaymentOutcome::kDuplicatePayment ||",
          "    return outcome == PaymentOutcome::kConfirmed || outcome == PaymentOutcome::kAlreadyConfirmed || "
          "outcome == PaymentOutcome::kDuplicatePayment ||",
          f"{CONFIRM_TESTS}::test_a_check_notifies_once_the_outcomes_the_erp_acts_on_with_the_payment"),
    fault("unmatched-payment-not-notified", CONFIRMATION,
          "        if (!notify_payment(conn, check.outcome, nullptr, claimed, record.payee_proxy_id)) {",
          "        if (!notify_payment(conn, PaymentOutcome::kNotVerified, nullptr, claimed, record.payee_proxy_id)) {",
          f"{CONFIRM_TESTS}::test_a_check_notifies_once_the_outcomes_the_erp_acts_on_with_the_payment"),
    fault("notified-payment-time-is-only-its-date", READERS,
          "    payment.paid_at = fields[4];",
          "    payment.paid_at = *paid_on;",
          f"{CONFIRM_TESTS}::test_a_check_notifies_once_the_outcomes_the_erp_acts_on_with_the_payment"),
    fault("listener-hands-on-any-json", "src/lib/payment_events.cpp",
          "    return cJSON_IsObject(parsed.get());",
          "    return parsed != nullptr;",
          "test_payment_events.py::test_a_payload_that_is_not_a_json_object_is_passed_over"),
    # Token cache and single-flight renewal.
    fault("reuse-margin-too-small", TOKEN_CACHE,
          "constexpr double kReuseMarginSeconds = 300.0;",
          "constexpr double kReuseMarginSeconds = 30.0;",
          "test_token_cache.py::test_cached_token_is_reused_only_with_more_than_300_seconds_left"),
    fault("rejected-token-taken-again-after-renewal", "src/lib/inquiry.cpp",
          "return renew_token(session, source, channel.token, kRetryTokenTexts);",
          'return renew_token(session, source, "", kRetryTokenTexts);',
          "test_payment_inquiry.py::test_rejected_token_renewed_once_with_key_and_secret_read_again"),
    fault("renewal-lock-not-waited-for", SQL,
          '"SELECT pg_advisory_xact_lock(1397965396, $1)"',
          '"SELECT pg_try_advisory_xact_lock(1397965396, $1)"',
          "test_token_cache.py::test_only_a_stale_token_costs_the_renewal_statements"),
    fault("invalidation-clears-a-fresh-token", SQL,
          '"UPDATE scb_api_config SET access_token = NULL, token_expires_at = NULL WHERE id = $1 AND access_token = $2"',
          '"UPDATE scb_api_config SET access_token = NULL, token_expires_at = NULL WHERE id = $1 AND $2::text IS NOT NULL"',
          "test_qr_by_bank_account.py::test_a_rejection_clears_only_the_rejected_token_and_takes_one_another_worker_stored"),
    fault("rejection-code-prefix-matches", READERS,
          "if (rejection_code && !std::isdigit(static_cast<unsigned char>(value[4]))) {",
          "if (rejection_code) {",
          "test_token_cache.py::test_rejection_is_code_9300_or_9500_whatever_the_white_space"),
    fault("expired-token-code-not-a-rejection", READERS,
          'const bool rejection_code = std::strncmp(value, "9300", 4) == 0 || std::strncmp(value, "9500", 4) == 0;',
          'const bool rejection_code = std::strncmp(value, "9500", 4) == 0;',
          "test_qr_by_bank_account.py::test_a_token_the_bank_ends_before_its_cached_expiry_is_renewed_whatever_the_code"),
    fault("inquiry-renews-only-on-the-code", "src/lib/inquiry.cpp",
          "return reply.status == 401 || token_rejected(reply.body.c_str());",
          "return token_rejected(reply.body.c_str());",
          "test_payment_inquiry.py::test_token_the_bank_refuses_with_401_is_renewed_whatever_the_code"),
    fault("default-lifetime-an-hour", READERS,
          "constexpr int32_t kDefaultLifetimeSeconds = 1800;",
          "constexpr int32_t kDefaultLifetimeSeconds = 3600;",
          "test_token_cache.py::test_stored_expiry_is_now_plus_the_stated_lifetime"),
    # Kept sessions.
    fault("session-kept-inside-a-transaction", DB,
          "return PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) == PQTRANS_IDLE;",
          "return PQstatus(conn) == CONNECTION_OK;",
          "test_kept_connections.py::test_a_session_handed_back_inside_a_transaction_is_closed"),
    fault("reconnected-session-left-in-the-servers-zone", DB,
          "if (PQstatus(conn) != CONNECTION_OK || !session_in_utc(conn)) {",
          "if (PQstatus(conn) != CONNECTION_OK) {",
          "test_kept_connections.py::test_a_reconnected_session_is_back_in_utc"),
    fault("any-zone-taken-for-utc", DB,
          'if (scb::is_utc_zone(PQparameterStatus(conn, "TimeZone"))) {',
          'if (PQparameterStatus(conn, "TimeZone") != nullptr) {',
          "test_connection_pooler.py"),
    fault("forked-child-keeps-the-parents-socket", DB,
          "::close(socket);",
          "(void)socket;",
          "test_kept_connections.py::test_forked_child_opens_its_own_connections",
          "test_kept_connections.py::test_a_child_that_reuses_descriptor_numbers_keeps_its_files"),
    fault("kept-session-without-keepalives", DB,
          'const char *const kKeptSessionValues[] = {"1", "60", "10", "3", "30000"};',
          'const char *const kKeptSessionValues[] = {"0", "60", "10", "3", "30000"};',
          "test_kept_connections.py::test_a_kept_session_finds_a_silently_dropped_peer_in_bounded_time"),
    # HTTPS and masking.
    fault("plain-http-let-through", HTTP,
          'return strncasecmp(url, "https://", 8) == 0;',
          'return strncasecmp(url, "http", 4) == 0;',
          "test_http_transport.py::test_a_url_that_is_not_https_sends_and_reads_nothing"),
    fault("peer-not-verified", HTTP,
          "curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK && set_ca_bundle(handle);",
          "curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK && set_ca_bundle(handle) && "
          "curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L) == CURLE_OK;",
          "test_tls_refusal.py::test_unverified_bank_gets_no_request_and_the_operation_reports_a_network_failure"),
    fault("client-certificate-not-presented", HTTP,
          "    if (!certificate.presented()) {",
          "    if (certificate.presented()) {",
          "test_tls_refusal.py::test_every_bank_request_presents_the_client_certificate_the_environment_names"),
    fault("certificate-sent-as-its-key", HTTP,
          "curl_blob key{certificate.key_pem.data(), certificate.key_pem.size(), CURL_BLOB_COPY};",
          "curl_blob key{certificate.cert_pem.data(), certificate.cert_pem.size(), CURL_BLOB_COPY};",
          "test_tls_refusal.py::test_every_bank_request_presents_the_client_certificate_the_environment_names"),
    fault("refresh-token-logged", HTTP,
          '{"accessToken", "access_token", "refreshToken", "refresh_token"}',
          '{"accessToken", "access_token"}',
          "test_http_transport.py::test_debug_lines_mask_secrets_but_the_record_keeps_them"),
    fault("application-secret-logged", HTTP,
          'scb::mask_json_values(*post_body, {"applicationSecret"})',
          'scb::mask_json_values(*post_body, {"applicationKey"})',
          "test_secrets.py"),
    fault("carriage-return-in-a-header-line", HTTP,
          "if (*c != '\\t' && scb::is_control_byte(static_cast<unsigned char>(*c))) {",
          "if (*c == '\\n') {",
          "test_http_transport.py::test_a_header_line_holding_a_control_character_sends_nothing"),
    # The webhook: what the bank is told.
    fault("media-type-case-sensitive", WEBHOOK,
          'if media_type.strip().lower() != "application/json":',
          'if media_type.strip() != "application/json":',
          "test_webhook.py::test_the_media_type_is_read_without_regard_to_case"),
    fault("banks-9004-taken-for-a-bad-record", WEBHOOK,
          "if code == scb.ErrorCode.INVALID_CONFIGURATION and description.startswith(NOT_A_RECORD_PREFIX):",
          "if code == scb.ErrorCode.INVALID_CONFIGURATION:",
          "test_webhook.py::test_a_payment_that_cannot_be_checked_now_is_asked_for_again"),
    fault("not-verified-acknowledged-as-taken", WEBHOOK,
          "NOT_VERIFIED, \"Payment not shown by the bank's inquiry; send it again later\", transaction_id),",
          "TAKEN, \"Payment not shown by the bank's inquiry; send it again later\", transaction_id),",
          "test_webhook.py::test_each_outcome_gets_its_acknowledgement_and_only_a_verified_payment_confirms"),
    fault("only-lookup-errors-answered", WEBHOOK,
          "    except Exception:  # whatever went wrong, the bank is told to send the record again",
          "    except (KeyError, AttributeError):  # whatever went wrong, the bank is told to send the record again",
          "test_webhook.py::test_a_served_webhook_answers_send_again_later_to_anything_unexpected"),
    fault("hook-failure-escapes", WEBHOOK,
          "        except Exception:  # the bank has its answer already; the hook's failure is the ERP's to see",
          "        except ValueError:  # the bank has its answer already; the hook's failure is the ERP's to see",
          "test_webhook.py::test_a_failing_hook_is_logged_and_changes_nothing"),
    fault("hook-only-for-taken-records", WEBHOOK,
          "        if on_outcome is None or reply.checked is None:",
          "        if on_outcome is None or reply.acknowledgement[\"resCode\"] != TAKEN:",
          "test_webhook.py::test_the_hook_gets_each_checked_outcome_once_the_answer_is_read"),
    fault("oversized-body-read", WEBHOOK,
          "    elif length > MAX_BODY:",
          "    elif length > 2 * MAX_BODY:",
          "test_webhook.py::test_a_request_that_is_no_posted_json_is_refused_unread"),
    # The intent store: which QR an invoice gets.
    fault("confirmed-intent-cancelled", SQL,
          "\"AND company_id = $2 AND status = 'pending' RETURNING id) SELECT id FROM cancelled ORDER BY id\";",
          "\"AND company_id = $2 AND status IN ('pending', 'confirmed') RETURNING id) SELECT id FROM cancelled ORDER BY id\";",
          "test_invoice_qr.py::test_only_pending_intents_are_cancelled_and_confirmed_ones_are_told"),
    fault("cancelled-intent-overwritten-by-the-next-qr", SQL,
          "    \"'cancelled'\";",
          "    \"'expired'\";",
          "test_invoice_qr.py::test_a_cancelled_qr_is_kept_and_the_next_call_makes_a_new_one"),
    fault("invoice-qr-without-its-reference-3", "src/lib/c_interface.cpp",
          '{conn, invoice_id, company_id, config_id, reference, bank_account_id, amount, "SCB"});',
          '{conn, invoice_id, company_id, config_id, reference, bank_account_id, amount, ""});',
          "test_invoice_qr.py::test_the_invoice_qr_carries_the_reference_3_prefix_the_bank_routes_its_confirmation_by"),
    fault("stale-qr-reference-not-warned", "src/lib/invoice_qr.cpp",
          "    if (stored_amount == asked_amount && stored.reference == asked_reference) {",
          "    if (stored_amount == asked_amount) {",
          "test_invoice_qr.py::test_later_call_returns_stored_intent_without_bank"),
    fault("cancelled-intent-handed-back", SQL,
          "\"scb_payment_intent WHERE invoice_id = $1 AND company_id = $2 AND status NOT IN ('expired', 'cancelled', \"",
          "\"scb_payment_intent WHERE invoice_id = $1 AND company_id = $2 AND status NOT IN ('expired', \"",
          "test_intent_store.py::test_lookup_returns_newest_live_intent_of_invoice_and_company"),
    fault("oldest-intent-handed-back", SQL,
          "\"'failed') ORDER BY id DESC LIMIT 1\";\n// A cancelled row keeps",
          "\"'failed') ORDER BY id LIMIT 1\";\n// A cancelled row keeps",
          "test_intent_store.py::test_lookup_returns_newest_live_intent_of_invoice_and_company"),
)


@dataclass
class Result:
    fault: Fault
    verdict: str
    seconds: float
    output: str = ""


class Scratch:
    """A copy of the working tree with the extension built in it, imported before any installed copy."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.build = root / "build" / "mutation"
        self.env = {**os.environ, "PYTHONPATH": os.pathsep.join(
            filter(None, [str(root / "src"), os.environ.get("PYTHONPATH")])), "PYTHONDONTWRITEBYTECODE": "1"}

    @classmethod
    def copy_of(cls, top: Path, into: Path) -> Scratch:
        listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=top,
                                check=True, capture_output=True).stdout.decode().split("\0")
        for name in filter(None, listed):
            source = top / name
            if source.is_file():
                (into / name).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(source, into / name)
        return cls(into)

    def configure(self) -> None:
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        run(["cmake", "-S", str(self.root), "-B", str(self.build), *generator,
             f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE="])

    def rebuild(self) -> subprocess.CompletedProcess[str]:
        built = subprocess.run(["cmake", "--build", str(self.build), "--parallel", str(os.cpu_count() or 1)],
                               capture_output=True, text=True)
        if built.returncode == 0:
            self.place_extension()
        return built

    def place_extension(self) -> None:
        (module,) = self.build.glob("_binding*.so")
        target = self.root / "src" / "halvenor_scb_lib" / module.name
        if not target.is_symlink():
            target.symlink_to(module)

    def imports_itself(self) -> bool:
        shown = subprocess.run([sys.executable, "-c", "import halvenor_scb_lib._binding as b; print(b.__file__)"],
                               cwd=self.root, env=self.env, capture_output=True, text=True)
        return shown.returncode == 0 and Path(shown.stdout.strip()).resolve().is_relative_to(self.root.resolve())

    def run_tests(self, tests: Iterable[str], stop_at_first: bool = True) -> tuple[int | None, str]:
        """pytest's exit status, None when it ran out of time, and the tail of its output."""
        command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--no-header",
                   *(["-x"] if stop_at_first else []),
                   *(f"tests/{test}" for test in tests)]
        try:
            finished = subprocess.run(command, cwd=self.root, env=self.env, capture_output=True, text=True,
                                      timeout=TEST_TIMEOUT)
        except subprocess.TimeoutExpired as expired:
            return None, tail(expired.stdout)
        return finished.returncode, tail(finished.stdout + finished.stderr)


def tail(text: str | bytes | None) -> str:
    if isinstance(text, bytes):
        text = text.decode(errors="replace")
    return "\n".join((text or "").splitlines()[-OUTPUT_TAIL:])


def run(command: Sequence[str]) -> None:
    finished = subprocess.run(command, capture_output=True, text=True)
    if finished.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{tail(finished.stdout + finished.stderr)}")


def applicable(root: Path, entry: Fault) -> bool:
    return (root / entry.path).read_text().count(entry.original) == 1


def check(scratch: Scratch, entry: Fault) -> Result:
    path = scratch.root / entry.path
    pristine = path.read_text()
    started = time.monotonic()
    path.write_text(pristine.replace(entry.original, entry.replacement))
    try:
        built = scratch.rebuild()
        if built.returncode != 0:
            return Result(entry, "broken", time.monotonic() - started, tail(built.stdout + built.stderr))
        status, output = scratch.run_tests(entry.tests)
    finally:
        path.write_text(pristine)
    verdict = {None: "caught", 0: "survived", 1: "caught"}.get(status, "broken")
    return Result(entry, verdict, time.monotonic() - started, output)


def chosen(names: Sequence[str]) -> list[Fault]:
    known = {entry.name: entry for entry in CATALOGUE}
    unknown = [name for name in names if name not in known]
    if unknown:
        sys.exit(f"no such fault: {', '.join(unknown)}")
    return [known[name] for name in names] if names else list(CATALOGUE)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*", help="faults to check (default: all)")
    parser.add_argument("--list", action="store_true", help="print the catalogue and exit")
    parser.add_argument("--keep", action="store_true", help="keep the scratch directory")
    arguments = parser.parse_args(argv)
    faults = chosen(arguments.names)
    if arguments.list:
        for entry in faults:
            moved = "" if applicable(TOP, entry) else "  (not applicable: the text moved)"
            print(f"{entry.name:48} {entry.path}  ->  {', '.join(entry.tests)}{moved}")
        return 0
    started = time.monotonic()
    root = Path(tempfile.mkdtemp(prefix="scb-mutation-"))
    try:
        return check_all(Scratch.copy_of(TOP, root), faults, started)
    finally:
        if arguments.keep:
            print(f"scratch copy kept in {root}")
        else:
            shutil.rmtree(root, ignore_errors=True)


def check_all(scratch: Scratch, faults: list[Fault], started: float) -> int:
    scratch.configure()
    built = scratch.rebuild()
    if built.returncode != 0 or not scratch.imports_itself():
        print(tail(built.stdout + built.stderr))
        print("the scratch copy's extension does not build or is not the one imported")
        return 2
    moved = [entry for entry in faults if not applicable(scratch.root, entry)]
    live = [entry for entry in faults if entry not in moved]
    baseline = sorted({test for entry in live for test in entry.tests})
    status, output = scratch.run_tests(baseline, stop_at_first=False)
    if status != 0:
        print(output)
        print("the catalogue's tests fail without any fault: mend them first")
        return 2
    print(f"built and checked the catalogue's tests without faults in {time.monotonic() - started:.0f} s")
    results = [Result(entry, "not applicable", 0.0) for entry in moved]
    for entry in sorted(live, key=lambda entry: entry.path):
        result = check(scratch, entry)
        print(f"{result.verdict:15} {result.seconds:6.1f} s  {entry.name}", flush=True)
        if result.verdict in ("survived", "broken"):
            print("    " + result.output.replace("\n", "\n    "))
        results.append(result)
    for result in results:
        if result.verdict == "not applicable":
            print(f"not applicable  {result.fault.name}: its text is no longer in {result.fault.path} exactly once")
    counts = {verdict: sum(r.verdict == verdict for r in results)
              for verdict in ("caught", "survived", "not applicable", "broken")}
    print(f"{len(results)} faults: " + ", ".join(f"{count} {verdict}" for verdict, count in counts.items()) +
          f"; {time.monotonic() - started:.0f} s")
    return 1 if counts["survived"] or counts["broken"] else 0


if __name__ == "__main__":
    sys.exit(main())
