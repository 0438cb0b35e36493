import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT))  # testkit

TOOLS = Path(os.environ.get("TAVRIK_TOOLS", ROOT / "build" / "dev" / "tools"))


def run_tool(name: str, *args, timeout: float = 60) -> subprocess.CompletedProcess:
    exe = TOOLS / name
    if not exe.exists():
        pytest.skip(f"{exe} is not built (run scripts/test.sh)")
    return subprocess.run([str(exe), *map(str, args)], capture_output=True, text=True, timeout=timeout)


def raw_dump(path) -> tuple[dict, list[dict]]:
    """Every field the reader holds for `path`: the file's own, then each record's."""
    out = run_tool("raw_dump", path)
    lines = [json.loads(line) for line in out.stdout.splitlines()]
    if out.returncode != 0:
        raise RuntimeError(lines[0]["error"])
    head, size, records = lines[0], lines[1]["remaining"], lines[2:]
    assert size == len(records)
    return head, records


@pytest.fixture
def write_file(tmp_path):
    """Writes bytes under a name in a fresh directory and returns the path as text."""
    def write(name: str, data: bytes) -> str:
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)
    return write
