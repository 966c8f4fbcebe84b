"""The core calls downward only: scripts/check-layers.py passes on the tree, and it catches an
adapter using an operation, one adapter using another, a cycle between operations and an
exported operation called from inside the library."""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
TOOLS = ("g++", "nm", "pkg-config")


def check_layers(root: Path) -> subprocess.CompletedProcess[str]:
    if missing := [tool for tool in TOOLS if shutil.which(tool) is None]:
        pytest.skip(f"the layer check needs {', '.join(missing)}")
    return subprocess.run([sys.executable, str(root / "scripts" / "check-layers.py")], capture_output=True,
                          text=True, timeout=300, check=False)


def test_the_core_calls_downward_only():
    done = check_layers(ROOT)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip().endswith("0 fault(s) in the layering of the core")


def inject(root: Path, relative: str, after: str, text: str) -> None:
    path = root / relative
    source = path.read_text()
    assert after in source, f"{after!r} not in {relative}"
    path.write_text(source.replace(after, after + text, 1))


FAULTS = {
    "adapter uses an operation": (
        "src/lib/db.cpp", '#include "sql.hpp"\n', '#include "config.hpp"\n',
        "include: src/lib/db.cpp (adapter) -> src/lib/config.hpp (operation)"),
    "adapter uses another": (
        "src/lib/http.cpp", '#include "keeper.hpp"\n', '#include "db.hpp"\n',
        "include: src/lib/http.cpp (adapter) -> src/lib/db.hpp (adapter)"),
    "cycle between operations": (
        "src/lib/token_endpoint.cpp", '#include "text.hpp"\n',
        '#include "token_cache.hpp"\nvoid back_to_the_cache() { (void)scb::reusable(scb::CachedToken{}); }\n',
        "cycle: token_cache -> token_endpoint -> token_cache"),
    "exported operation called inside": (
        "src/lib/qr.cpp", '#include "token_cache.hpp"\n',
        'void through_the_interface() { scb_free(scb_refresh_token("k", "s", "u")); }\n',
        "exported operation called inside the library: src/lib/qr.cpp -> scb_refresh_token"),
}


@pytest.mark.slow
@pytest.mark.parametrize("fault", FAULTS)
def test_the_check_catches_a_layering_fault(tmp_path, fault):
    relative, after, text, reported = FAULTS[fault]
    for part in ("include", "src", "scripts"):
        shutil.copytree(ROOT / part, tmp_path / part)
    inject(tmp_path, relative, after, text)

    done = check_layers(tmp_path)

    assert done.returncode == 1
    assert reported in done.stdout.splitlines(), done.stdout
