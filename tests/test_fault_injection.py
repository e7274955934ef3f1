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

import tolvane_vector_db as tv
from writer_support import create_collection, open_collection, state_of

pytestmark = pytest.mark.skipif(not hasattr(tv, "Client"), reason="needs the Client class")

WRITER = Path(__file__).with_name("fault_writer.py")
SCENARIOS = [
    "writes_fail_once_the_log_is_full",
    "batch_fails_whole_when_its_frames_do_not_fit",
    "snapshot_creation_fails_without_touching_the_collection",
    "restore_fails_part_way_and_keeps_every_later_write",
    "create_fails_without_leaving_a_torn_meta_json",
    "compaction_failure_is_reported_after_the_write_is_applied",
]


@pytest.mark.parametrize("scenario", SCENARIOS)
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
