"""The first calls a user makes after `pip install` of the wheel, run in a
fresh virtual environment that holds the wheel alone (see smoke_wheel.py).

Every module of the package is imported first. Argument: a JSON object with api_key, access_token, qr_create_url, biller_id
and bank_account_id. The database and the bank sandbox are given by the PG*,
SCB_SANDBOX_HOST and CURL_CA_BUNDLE variables. Prints one line; exit status 0
when both QR codes were created and the log lines reached Python's logging.
"""

import importlib
import json
import logging
import pkgutil
import platform
import sys

import halvenor_scb_lib as scb


class Messages(logging.Handler):
    def __init__(self) -> None:
        super().__init__()
        self.seen: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.seen.append(record.getMessage())


def every_module_imports() -> bool:
    """The whole package (sandbox, throwaway database, command line) loads on this interpreter; the
    pytest plugin needs pytest, which a user installs with the test tools."""
    for module in pkgutil.walk_packages(scb.__path__, "halvenor_scb_lib."):
        if not module.name.endswith(("__main__", "pytest_plugin")):
            importlib.import_module(module.name)
    return True


def main() -> int:
    given = json.loads(sys.argv[1])
    every_module_imports()
    messages = Messages()
    logger = logging.getLogger("halvenor_scb_lib")
    logger.addHandler(messages)
    logger.setLevel(logging.INFO)
    scb.use_python_logging()

    explicit = scb.create_qr(
        api_key=given["api_key"], access_token=given["access_token"], qr_create_url=given["qr_create_url"],
        biller_id=given["biller_id"], amount="12.34", ref1="SMOKE1", ref2="EXPLICIT",
    )
    by_account = scb.create_qr_by_bank_account(given["bank_account_id"], "56.78", "SMOKE2", "ACCOUNT")

    failed = [name for name, answer in [("create_qr", explicit), ("create_qr_by_bank_account", by_account)]
              if not scb.is_success(answer)]
    if "Database connection successful" not in messages.seen:
        failed.append("log lines through logging")
    extension = scb._binding.__file__.rsplit("/", 1)[-1]
    outcome = "FAILED: " + ", ".join(failed) if failed else "every module imports, create_qr, create_qr_by_bank_account ok"
    print(f"Python {platform.python_version()} ({extension}): {outcome}")
    if failed:
        print(json.dumps({"create_qr": explicit, "create_qr_by_bank_account": by_account}), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
