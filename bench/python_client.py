"""A pure-Python client doing the extension's work for two operations, for comparison.

QR by bank account with a cached token and payment inquiry by transaction
reference: the same SQL statements, URLs, headers and bodies as the extension
(and bench/floor.cpp), over ONE requests session and ONE psycopg connection kept
for every call, as a Python service written without the extension would do.
Answers are returned parsed; judging them is the caller's part.

Reads PG*, SCB_SANDBOX_HOST / SCB_PRODUCTION_HOST and CURL_CA_BUNDLE from the
environment, like the extension.
"""

from __future__ import annotations

import json
import os
import uuid
from types import TracebackType
from typing import Any

import psycopg
import requests

# The extension's statements (src/lib/sql.hpp), word for word, under their names there. A raw
# cursor sends them as they are, with $1 for the parameter, so the server gets the same text.
STATEMENTS = {
    "kConfigByBank": (
        "SELECT   b.scb_biller_id,   b.company_id,   c.api_key,   c.api_secret,   c.environment,   "
        "c.application_id,   b.id AS bank_id,   c.id AS config_id,   c.name AS config_name FROM "
        "res_partner_bank b INNER JOIN scb_api_config c ON c.id = b.scb_api_config_id WHERE b.id = $1 "
        "AND b.use_scb_qr = true AND c.active = true LIMIT 1"
    ),
    "kTokenLookup": (
        "SELECT access_token, token_expires_at AT TIME ZONE 'UTC' AS expires_utc, EXTRACT(EPOCH FROM "
        "(token_expires_at AT TIME ZONE 'UTC' - NOW() AT TIME ZONE 'UTC')) AS seconds_until_expiry FROM "
        "scb_api_config WHERE id = $1"
    ),
    "kInquiryConfig": (
        "SELECT api_key, api_secret, environment, access_token, token_expires_at AT TIME ZONE 'UTC' AS "
        "expires_utc, EXTRACT(EPOCH FROM (token_expires_at AT TIME ZONE 'UTC' - NOW() AT TIME ZONE 'UTC')) AS "
        "seconds_until_expiry FROM scb_api_config WHERE id = $1 AND active = true"
    ),
}

# A token with this little time left is renewed by the extension; this client only reuses tokens.
REUSE_MARGIN_SECONDS = 300.0
REQUEST_TIMEOUT = 30.0

PRODUCTION = ("SCB_PRODUCTION_HOST", "api.partners.scb", "/partners/v1")
SANDBOX = ("SCB_SANDBOX_HOST", "api-sandbox.partners.scb", "/partners/sandbox/v1")


def base_url(environment: str) -> str:
    """The bank's API root for a configuration's environment; an empty host variable counts as unset."""
    variable, default_host, prefix = PRODUCTION if environment == "production" else SANDBOX
    return f"https://{os.environ.get(variable) or default_host}{prefix}"


def cached_token(row: tuple[Any, ...] | None, token_column: int, seconds_column: int) -> str:
    """The stored token of a configuration row, which must have time left."""
    if row is None or not row[token_column] or row[seconds_column] is None \
            or float(row[seconds_column]) <= REUSE_MARGIN_SECONDS:
        raise RuntimeError("the pure-Python client expects a cached token with time left")
    return str(row[token_column])


def connections_opened(session: requests.Session) -> int:
    """How many HTTPS connections a session has opened so far, over all its hosts."""
    adapter = session.get_adapter("https://")
    assert isinstance(adapter, requests.adapters.HTTPAdapter)
    pools = adapter.poolmanager.pools
    return sum(int(pools[key].num_connections) for key in pools.keys())  # the pool container refuses iteration


class PythonClient:
    """One kept HTTPS session and one kept database connection for all calls."""

    def __init__(self, ca_file: str | None = None) -> None:
        self._http = requests.Session()
        # Otherwise REQUESTS_CA_BUNDLE from the environment would win over the bank's CA file.
        self._http.trust_env = False
        self._http.verify = ca_file or os.environ["CURL_CA_BUNDLE"]
        self._db = psycopg.connect(autocommit=True, options="-c TimeZone=UTC", cursor_factory=psycopg.RawCursor)

    def __enter__(self) -> PythonClient:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    def close(self) -> None:
        self._http.close()
        self._db.close()

    def tls_connections_opened(self) -> int:
        return connections_opened(self._http)

    def create_qr_by_bank(self, bank_account_id: str, amount: float, ref1: str, ref2: str,
                          ref3: str = "SCB") -> dict[str, Any]:
        config = self._db.execute(STATEMENTS["kConfigByBank"], (bank_account_id,)).fetchone()
        if config is None:
            raise RuntimeError(f"no configuration for bank account {bank_account_id}")
        biller_id, _, api_key, _, environment, _, _, config_id, _ = config
        token = cached_token(self._db.execute(STATEMENTS["kTokenLookup"], (str(config_id),)).fetchone(), 0, 2)
        body = {"qrType": "PP", "ppType": "BILLERID", "ppId": biller_id, "amount": f"{amount:.2f}",
                "ref1": ref1, "ref2": ref2, "ref3": ref3}
        answer = self._http.post(
            f"{base_url(environment)}/payment/qrcode/create",
            data=json.dumps(body, ensure_ascii=False, separators=(",", ":")).encode(),
            headers={"Content-Type": "application/json", **self._bank_headers(token, api_key)},
            timeout=REQUEST_TIMEOUT,
        )
        return dict(answer.json())

    def payment_inquiry(self, config_id: str, transaction_ref: str, transaction_date: str) -> dict[str, Any]:
        row = self._db.execute(STATEMENTS["kInquiryConfig"], (config_id,)).fetchone()
        if row is None:
            raise RuntimeError(f"no active configuration {config_id}")
        api_key, environment = row[0], row[2]
        headers = {**self._bank_headers(cached_token(row, 3, 5), api_key), "Accept-Language": "EN"}
        query = {"eventCode": "00300104", "partnerTransactionId": transaction_ref, "transactionDate": transaction_date}
        url = f"{base_url(environment)}/payment/billpayment/inquiry"
        # The sandbox takes the inquiry as a GET; production as a POST with the query in the URL.
        if environment == "sandbox":
            answer = self._http.get(url, params=query, headers=headers, timeout=REQUEST_TIMEOUT)
        else:
            answer = self._http.post(url, params=query, data=b"", timeout=REQUEST_TIMEOUT,
                                     headers={"Content-Type": "application/json", **headers})
        return dict(answer.json())

    @staticmethod
    def _bank_headers(token: str, api_key: str) -> dict[str, str]:
        return {"Authorization": f"Bearer {token}", "resourceOwnerId": api_key, "requestUId": str(uuid.uuid4())}
