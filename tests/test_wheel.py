"""The repaired wheel is self-contained: each library its extension loads comes
from the wheel's own folder, except those manylinux lets every system provide;
its extension keeps to the stable ABI of Python 3.9; and its tag names the
machine it runs on.

Checks the wheel that SCB_WHEEL names, on a machine of the wheel's architecture:
scripts/smoke-wheel.sh sets it for the x86_64 wheel on the host,
scripts/fresh-machine-demo.sh for either wheel in a fresh Debian root.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import zipfile
from importlib import resources
from pathlib import Path
from platform import machine

import pytest

WHEEL = os.environ.get("SCB_WHEEL", "")
pytestmark = pytest.mark.skipif(not WHEEL, reason="SCB_WHEEL names no repaired wheel")

LDD_LINE = re.compile(r"\s*(\S+) => (.+?)(?: \(0x[0-9a-f]+\))?")


def wheel_tags() -> tuple[str, str, str]:
    python, abi, platform = Path(WHEEL).stem.split("-")[-3:]
    return python, abi, platform


@pytest.fixture(scope="module")
def unpacked(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = tmp_path_factory.mktemp("wheel")
    with zipfile.ZipFile(WHEEL) as wheel:
        wheel.extractall(root)
    return root


@pytest.fixture(scope="module")
def loaded(unpacked: Path) -> dict[str, str]:
    """soname -> the file the loader takes it from, for the extension and everything it pulls in."""
    (extension,) = (unpacked / "halvenor_scb_lib").glob("_binding*.so")
    env = {name: value for name, value in os.environ.items() if name not in ("LD_LIBRARY_PATH", "LD_PRELOAD")}
    listing = subprocess.run(["ldd", str(extension)], env=env, capture_output=True, text=True, check=True).stdout
    # The loader itself and the vDSO appear without "=>": they are the system's, as for every program.
    return {m.group(1): m.group(2) for m in map(LDD_LINE.fullmatch, listing.splitlines()) if m}


@pytest.fixture(scope="module")
def allowed() -> set[str]:
    platform = wheel_tags()[2]
    policies = json.loads((resources.files("auditwheel.policy") / "manylinux-policy.json").read_text())
    (policy,) = [p for p in policies if platform.startswith(p["name"] + "_")]
    return set(policy["lib_whitelist"])


def test_wheel_serves_every_cpython_from_3_9_on_a_manylinux_glibc_of_this_machine():
    python, abi, platform = wheel_tags()
    assert (python, abi) == ("cp39", "abi3")
    assert re.fullmatch(rf"manylinux_2_\d+_{machine()}", platform)


def test_auditwheel_finds_the_libraries_consistent_with_the_tag():
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", WHEEL],
                           capture_output=True, text=True, check=True).stdout
    assert f'consistent with the following platform tag: "{wheel_tags()[2]}"' in " ".join(shown.split())


def test_each_library_is_carried_or_on_the_manylinux_list(unpacked, loaded, allowed):
    carried = (unpacked / "halvenor_scb_lib.libs").resolve()
    assert loaded
    for soname, path in loaded.items():
        from_wheel = Path(path).resolve().parent == carried
        assert from_wheel or soname in allowed, f"{soname} loads from {path}"
        assert not (from_wheel and soname in allowed), f"{soname} is carried although every system has it"


def test_the_extension_uses_only_the_stable_abi_of_python_3_9():
    audit = subprocess.run([sys.executable, "-m", "abi3audit", "--strict", "--report", WHEEL],
                           capture_output=True, text=True, check=False)
    (extension,) = json.loads(audit.stdout)["specs"][WHEEL]["wheel"]
    result = extension["result"]
    assert (result["is_abi3"], result["computed"], result["non_abi3_symbols"]) == (True, "3.9", [])
    assert audit.returncode == 0, audit.stderr


@pytest.mark.parametrize("library", ["libcurl", "libpq", "libcjson", "libssl", "libcrypto"])
def test_the_wheel_carries(unpacked, loaded, library):
    (path,) = [path for soname, path in loaded.items() if soname.startswith(library + "-")]
    assert Path(path).resolve().parent == (unpacked / "halvenor_scb_lib.libs").resolve()
