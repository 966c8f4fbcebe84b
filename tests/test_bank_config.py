"""The configuration document of a bank account, read straight from the ERP tables."""

import json

import pytest

from cabi import lib, take_text

PRODUCTION_HOST, SANDBOX_HOST = "bank-prod.test:8443", "bank-sbx.test:9443"
BASES = {
    "production": f"https://{PRODUCTION_HOST}/partners/v1",
    "sandbox": f"https://{SANDBOX_HOST}/partners/sandbox/v1",
}


@pytest.fixture
def conn(pg, monkeypatch):
    monkeypatch.setenv("SCB_PRODUCTION_HOST", PRODUCTION_HOST)
    monkeypatch.setenv("SCB_SANDBOX_HOST", SANDBOX_HOST)
    handle = lib.scb_db_connect(None)
    assert handle
    yield handle
    lib.scb_db_close(handle)


def config_document(conn, bank_id):
    return take_text(lib.scb_db_get_config_by_bank(conn, str(bank_id).encode()))


@pytest.mark.parametrize(
    "environment, urls",
    [("production", "production"), ("Production", "sandbox"), ("sandbox", "sandbox"), ("test", "sandbox"),
     ("", "sandbox"), (None, "sandbox")],
)
def test_document_has_eleven_members_in_order_with_urls_of_the_environment(erp_db, conn, capfd, environment, urls):
    config_id = erp_db.add_config(api_key="K-1", api_secret="S-1", environment=environment, name="Head office")
    bank_id = erp_db.add_bank_account(config_id, biller_id="010556012345678", company_id=7)
    document = config_document(conn, bank_id)
    base = BASES[urls]
    expected = [
        ("biller_id", "010556012345678"), ("company_id", "7"), ("api_key", "K-1"), ("api_secret", "S-1"),
        ("environment", environment or ""), ("application_id", "APP1"), ("token_url", base + "/oauth/token"),
        ("qr_create_url", base + "/payment/qrcode/create"),
        ("payment_inquiry_url", base + "/payment/billpayment/inquiry"), ("config_id", str(config_id)),
        ("config_name", "Head office"),
    ]
    assert document == json.dumps(dict(expected), separators=(",", ":"))
    assert json.loads(document, object_pairs_hook=list) == expected
    err = capfd.readouterr().err
    assert (
        f"INFO: Using SCB Config: Bank ID={bank_id}, Config ID={config_id}, Biller ID=010556012345678,"
        f" Company=7, Env={environment or ''}\n" in err
    )
    assert "INFO: Config retrieved from database" in err
    assert "S-1" not in err and "K-1" not in err


def test_values_with_quotes_backslashes_and_controls_stay_valid_json(erp_db, conn):
    name, secret = 'Branch "North" \\ 2\n\tก', 'se"cr\\et\x01'
    config_id = erp_db.add_config(api_secret=secret, name=name, application_id=None)
    document = config_document(conn, erp_db.add_bank_account(config_id, biller_id=None))
    values = json.loads(document)
    assert (values["config_name"], values["api_secret"]) == (name, secret)
    assert (values["application_id"], values["biller_id"]) == ("", "")


@pytest.mark.parametrize("case", ["no such account", "inactive config", "QR not enabled", "no config", "not a number"])
def test_no_document_without_an_enabled_account_and_active_config(erp_db, conn, capfd, case):
    bank_id = {
        "no such account": lambda: 999,
        "inactive config": lambda: erp_db.add_bank_account(erp_db.add_config(active=False)),
        "QR not enabled": lambda: erp_db.add_bank_account(erp_db.add_config(), use_scb_qr=False),
        "no config": lambda: erp_db.add_bank_account(None),
        "not a number": lambda: "abc",
    }[case]()
    capfd.readouterr()
    assert config_document(conn, bank_id) is None
    lines = capfd.readouterr().err.splitlines()
    if case == "not a number":
        assert len(lines) == 1 and "ERROR: Query failed: " in lines[0] and "abc" in lines[0]
    else:
        assert len(lines) == 1 and lines[0].endswith("ERROR: No SCB config found for bank account")


def test_without_a_connection_there_is_no_document(capfd, pg):
    assert lib.scb_db_get_config_by_bank(None, b"1") is None
    assert lib.scb_db_get_config(None) is None
    assert capfd.readouterr().err.count("ERROR: Database connection is NULL") == 2
