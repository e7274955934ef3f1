"""Failing writes raise OSError, leave memory consistent, and the next open recovers.

Each scenario runs in a child process (fault_writer.py) that lowers its file size limit or
puts an obstacle in a file's place, checks the failing operations there, and reports the
state a reopen must find; the test then reopens the directory in this process.
"""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from fault_writer import SCENARIOS
from writer_support import create_collection, open_collection, state_of

WRITER = Path(__file__).with_name("fault_writer.py")


@pytest.mark.parametrize("scenario", list(SCENARIOS))
def test_failed_writes_raise_and_reopen_recovers(tmp_path, scenario):
    data_dir = tmp_path / "data"
    create_collection(data_dir, 1 if scenario.startswith("compaction") else None)

    result = tmp_path / "expected.json"
    child = subprocess.run([sys.executable, str(WRITER), str(data_dir), scenario, str(result)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr

    expected = {int(k): v for k, v in json.loads(result.read_text()).items()}
    assert state_of(open_collection(data_dir)) == expected
    assert not (data_dir / "c" / "wal.log.tmp").exists() or scenario.startswith("compaction")
