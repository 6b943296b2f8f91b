"""A short run of the surface fuzzer (the long run is `./run.sh fuzz`)."""
import os
import subprocess
import sys
from pathlib import Path

FUZZER = Path(__file__).resolve().parents[1] / "fuzz" / "fuzz_surface.py"


def test_short_fuzz_run_finds_no_crash_hang_or_undocumented_exception():
    calls = os.environ.get("QUENDRAL_FUZZ_CALLS", "20000")
    result = subprocess.run(
        [sys.executable, str(FUZZER), "--calls", calls, "--seed", "20261210"],
        capture_output=True,
        text=True,
        timeout=900,
        stdin=subprocess.DEVNULL,
    )
    # Internal failures write a report line each to stderr; show only the tail on failure.
    tail = "\n".join(result.stderr.splitlines()[-40:])
    assert result.returncode == 0, f"fuzzer exit {result.returncode}\n{result.stdout}\n{tail}"
    assert f"fuzz: {calls} calls" in result.stdout
