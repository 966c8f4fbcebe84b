"""Long runs in one process: memory, descriptors and connections come back to where they were.

Both tools live in bench/ and can be run by hand with their full defaults; here they run
shorter, as a child of the test, and their figures are checked.
"""

import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"
# The sanitizer runtime keeps freed memory in quarantine, so resident memory keeps
# growing there whatever the extension does; growth is judged on the regular build only.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")


def run_tool(script: str, *arguments: str) -> dict[str, Any]:
    done = subprocess.run([sys.executable, str(BENCH / script), "--json", *arguments], capture_output=True,
                          text=True, timeout=600, check=False)
    assert done.stdout, done.stderr[-3000:]
    figures: dict[str, Any] = json.loads(done.stdout.splitlines()[-1])
    return figures | {"exit_status": done.returncode}


@pytest.mark.slow
def test_mixed_calls_leave_memory_descriptors_and_connections_as_they_were() -> None:
    growth_limit = 1 << 30 if UNDER_SANITIZER else 2048
    figures = run_tool("soak.py", "--calls", "3000", "--warm-up", "1000", "--max-growth-kib", str(growth_limit))
    assert figures["unexpected"] == []
    assert sum(figures["expected_answers"].values()) == 3000
    assert len(figures["expected_answers"]) == 10  # every operation, success and failure, was exercised
    assert figures["descriptors_after"] == figures["descriptors_before"]
    assert figures["connections_left"] == 0
    if not UNDER_SANITIZER:
        assert figures["rss_growth_kib"] < 2048
    assert figures["exit_status"] == 0, figures["failures"]


@pytest.mark.slow
def test_processes_sharing_an_expiring_token_all_get_qr_codes_with_tokens_the_bank_issued() -> None:
    figures = run_tool("shared_token.py", "--processes", "4", "--calls", "50", "--token-seconds", "1")
    assert figures["answers"] == {"1000": 200}
    assert figures["foreign_tokens"] == [] and figures["final_token_issued"]
    assert figures["samples"] > 10
    # The token was renewed as it expired, but not fetched for every call.
    assert 2 <= figures["token_requests"] < 200
    assert figures["qr_requests"] == 200
    assert figures["connections_left"] == 0
    assert figures["exit_status"] == 0, figures["failures"]
