"""QR creation for a bank account of the ERP, end to end against the bank sandbox."""

from __future__ import annotations

import pytest

from bank_helpers import bank_token, envelope
from halvenor_scb_lib import _binding

BILLER = "010556012345678"
REJECTED = {"status": {"code": 9500, "description": "Invalid or expired access token"}, "data": None}


@pytest.fixture(autouse=True)
def no_connection_left(pg):
    yield
    assert pg.wait_for_client_connections(0) == 0


def counts(sandbox):
    return len(sandbox.requests_to("token")), len(sandbox.requests_to("qr"))


def test_first_call_stores_a_token_and_the_second_reuses_it(erp, capfd):
    # A secret and a name that only survive the configuration document when it is real JSON.
    config_id = erp.add_config(api_secret='se"cr\\et', name='Main "HQ"')
    bank_id = erp.add_bank_account(config_id, biller_id=BILLER)
    first = _binding.scb_api_create_qr_by_bank(str(bank_id), 1234567.89, "INV001", "CUST9")
    assert first["status"] == {"code": 1000, "description": "Success"}
    (token,) = erp.sandbox.issued_tokens
    stored, left = erp.token_row(config_id)
    assert stored == token and abs(left - 1800) < 5
    assert list(first["data"]) == ["qrRawData", "qrImage"]
    assert erp.sandbox.qr_codes[0]["payload"] == first["data"]["qrRawData"]
    (request,) = erp.sandbox.requests_to("qr")
    assert request.json() == {"qrType": "PP", "ppType": "BILLERID", "ppId": BILLER, "amount": "1234567.89",
                              "ref1": "INV001", "ref2": "CUST9", "ref3": "SCB"}
    assert request.header("Authorization") == f"Bearer {token}"

    second = _binding.scb_api_create_qr_by_bank(str(bank_id), 5, "INV002", "CUST9", "SHOP1")
    assert second["status"]["code"] == 1000
    assert counts(erp.sandbox) == (1, 2)
    assert erp.sandbox.requests_to("qr")[1].header("Authorization") == f"Bearer {token}"
    assert erp.sandbox.requests_to("qr")[1].json()["ref3"] == "SHOP1"
    err = capfd.readouterr().err
    assert "INFO: Using cached access token" in err and token not in err


def test_rejected_token_is_dropped_renewed_stored_and_the_request_retried_once(erp, capfd):
    config_id = erp.add_config()
    bank_id = erp.add_bank_account(config_id)
    assert _binding.scb_api_create_qr_by_bank(str(bank_id), 10, "INV1", "C1")["status"]["code"] == 1000
    erp.sandbox.revoke_token(erp.sandbox.issued_tokens[0])
    capfd.readouterr()
    result = _binding.scb_api_create_qr_by_bank(str(bank_id), 10, "INV2", "C1")
    assert result["status"]["code"] == 1000
    assert counts(erp.sandbox) == (2, 3)
    renewed = erp.sandbox.issued_tokens[1]
    assert erp.token_row(config_id)[0] == renewed
    assert erp.sandbox.requests_to("qr")[2].header("Authorization") == f"Bearer {renewed}"
    err = capfd.readouterr().err
    for line in ("DEBUG: [SCB API] Got 401/9500 error, refreshing token and retrying",
                 "INFO: Refreshing SCB access token after 401 error", "INFO: Token refreshed, retrying QR creation"):
        assert line in err
    assert not [token for token in erp.sandbox.issued_tokens if token in err]


def test_a_rejection_clears_only_the_rejected_token_and_takes_one_another_worker_stored(erp):
    config_id = erp.add_config()
    bank_id = erp.add_bank_account(config_id)
    assert _binding.scb_api_create_qr_by_bank(str(bank_id), 10, "INV1", "C1")["status"]["code"] == 1000
    rejected = erp.sandbox.issued_tokens[0]
    erp.sandbox.revoke_token(rejected)
    fresh = bank_token(erp.sandbox)
    # Another worker stores its renewal while this caller's request with the old token is at the bank.
    erp.sandbox.on_request("qr", lambda request: erp.pg.execute(
        "UPDATE scb_api_config SET access_token = %s WHERE id = %s", (fresh, config_id)), times=1)

    assert _binding.scb_api_create_qr_by_bank(str(bank_id), 10, "INV2", "C1")["status"]["code"] == 1000

    assert erp.sandbox.requests_to("token") == []
    assert erp.sandbox.requests_to("qr")[-1].header("Authorization") == f"Bearer {fresh}"
    assert erp.token_row(config_id)[0] == fresh


@pytest.mark.parametrize("code", [9300, 9500])
@pytest.mark.parametrize("ending", ["revoked", "expired"])
def test_a_token_the_bank_ends_before_its_cached_expiry_is_renewed_whatever_the_code(erp, code, ending):
    # The bank documents 9300 for an invalid or expired token; 9500 is its invalid credentials.
    erp.sandbox.configure(rejected_token_code=code)
    config_id = erp.add_config()
    bank_id = erp.add_bank_account(config_id)
    assert _binding.scb_api_create_qr_by_bank(str(bank_id), 10, "INV1", "C1")["status"]["code"] == 1000
    (ended,) = erp.sandbox.issued_tokens
    if ending == "revoked":
        erp.sandbox.revoke_token(ended)
    else:
        erp.sandbox.expire_tokens()
    answers = [_binding.scb_api_create_qr_by_bank(str(bank_id), 10, "INV2", "C1") for _ in range(2)]
    assert [answer["status"]["code"] for answer in answers] == [1000, 1000]
    assert counts(erp.sandbox) == (2, 4)
    (renewed,) = erp.sandbox.issued_tokens[1:]
    assert erp.token_row(config_id)[0] == renewed
    assert [request.header("Authorization") for request in erp.sandbox.requests_to("qr")] == [
        f"Bearer {ended}", f"Bearer {ended}", f"Bearer {renewed}", f"Bearer {renewed}"]


def test_second_answer_is_returned_as_it_came_even_when_rejected_again(erp):
    bank_id = erp.add_bank_account(erp.add_config())
    again = {"status": {"code": 9500, "description": "Still rejected"}, "data": None}
    erp.sandbox.script("qr", status=401, body=REJECTED)
    erp.sandbox.script("qr", status=401, body=again)
    assert _binding.scb_api_create_qr_by_bank(str(bank_id), 10, "INV1", "C1") == again
    assert counts(erp.sandbox) == (2, 2)


def test_failed_renewal_leaves_the_cached_token_dropped(erp, capfd):
    config_id = erp.add_config()
    bank_id = erp.add_bank_account(config_id)
    assert _binding.scb_api_create_qr_by_bank(str(bank_id), 10, "INV1", "C1")["status"]["code"] == 1000
    erp.sandbox.script("qr", status=401, body=REJECTED)
    erp.sandbox.script("token", status=500, body={"status": {"code": 9999, "description": "down"}})
    result = _binding.scb_api_create_qr_by_bank(str(bank_id), 10, "INV2", "C1")
    assert result == envelope(9301, "Failed to parse access token from retry response")
    assert "ERROR: Failed to extract access token after 401 retry" in capfd.readouterr().err
    assert erp.token_row(config_id) == (None, None)
    assert counts(erp.sandbox) == (2, 2)


NO_CONFIG = (
    "No SCB configuration found for bank account ID {}. Verify: 1) Bank account exists, 2) scb_biller_id is set, "
    "3) SCB API config is active"
)


@pytest.mark.parametrize(
    "case", ["no such account", "not a number", "very long id", "inactive config", "QR not enabled"]
)
def test_bank_account_without_configuration_gives_9003(erp, capfd, case):
    bank_id = {
        "no such account": lambda: "999",
        "not a number": lambda: "abc",
        "very long id": lambda: "7" * 600,
        "inactive config": lambda: erp.add_bank_account(erp.add_config(active=False)),
        "QR not enabled": lambda: erp.add_bank_account(erp.add_config(), use_scb_qr=False),
    }[case]()
    description = NO_CONFIG.format(bank_id)[:511]
    assert _binding.scb_api_create_qr_by_bank(str(bank_id), 10, "INV1", "C1") == envelope(9003, description)
    assert f"ERROR: {description}\n" in capfd.readouterr().err
    assert erp.sandbox.requests == []


@pytest.mark.parametrize("key_length, code", [(255, 1000), (256, 9004), (0, 9004)])
def test_api_key_longer_than_255_characters_counts_as_missing(erp, capfd, key_length, code):
    bank_id = erp.add_bank_account(erp.add_config(api_key="k" * key_length))
    result = _binding.scb_api_create_qr_by_bank(str(bank_id), 10, "INV1", "C1")
    if code == 9004:
        assert result == envelope(9004, "Invalid SCB API configuration. Missing api_key or token_url.")
        assert "ERROR: Failed to parse config from database" in capfd.readouterr().err
        assert erp.sandbox.requests == []
    else:
        assert result["status"]["code"] == 1000
        assert erp.sandbox.requests_to("qr")[0].header("resourceOwnerId") == "k" * 255


@pytest.mark.parametrize("biller_id", ["", None])
def test_empty_biller_id_is_sent_as_an_empty_pp_id(erp, biller_id):
    bank_id = erp.add_bank_account(erp.add_config(), biller_id=biller_id)
    result = _binding.scb_api_create_qr_by_bank(str(bank_id), 10, "INV1", "C1")
    assert result["status"]["code"] == 1103  # the bank's own refusal of an empty ppId, passed on
    assert erp.sandbox.requests_to("qr")[0].json()["ppId"] == ""
