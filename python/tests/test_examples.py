"""The examples, run as a user runs them."""

from __future__ import annotations

import csv
import io
import subprocess
import sys
from datetime import datetime
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


@pytest.mark.skipif(not EXAMPLES.is_dir(), reason="needs the source tree's examples")
def test_thermometer_csv_against_the_simulator(tmp_path):
    out = tmp_path / "lab.csv"
    done = subprocess.run([sys.executable, str(EXAMPLES / "thermometer_csv.py"), "--simulate",
                           "--sensors", "8", "--count", "2", "--interval", "0.1",
                           "--output", str(out)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    rows = list(csv.reader(io.StringIO(out.read_text())))
    assert rows[0] == ["time", "t1", "t2", "t3", "t4", "t5", "t6", "t7", "t8"]
    assert len(rows) == 3
    for row in rows[1:]:
        assert datetime.fromisoformat(row[0]).tzinfo is not None
        # The simulated readings drift by up to 1 degree around 21.0, ----, 19.5, 22.0, ...
        assert row[2] == ""
        assert abs(float(row[1]) - 21.0) <= 1.0 and abs(float(row[3]) - 19.5) <= 1.0
