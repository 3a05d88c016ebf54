"""The examples, run as a user runs them."""

from __future__ import annotations

import csv
import importlib.util
import io
import os
import subprocess
import sys
from datetime import datetime
from importlib import metadata
from pathlib import Path

import pytest

import vexlor

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


def example(name):
    found = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


class ScriptedThermometer:
    """A 2x thermometer whose reads return or raise what the script says, in turn."""

    sensors = 2

    def __init__(self, script):
        self.script = list(script)

    def read(self):
        result = self.script.pop(0)
        if isinstance(result, Exception):
            raise result
        return result


@pytest.mark.skipif(not EXAMPLES.is_dir(), reason="needs the source tree's examples")
def test_thermometer_csv_rows_start_with_the_first_answer_and_survive_missed_polls():
    away = vexlor.NoAnswerError(10060, "VexlorWeb_IO_2xThermometer_Read", 4)
    refused = vexlor.RefusedError(10061, "VexlorWeb_IO_2xThermometer_Read", 4)
    thermometer = ScriptedThermometer([away, (20.5, vexlor.MISSING), away, refused, (21.0, 22.25)])
    out = io.StringIO()
    example("thermometer_csv").log(thermometer, out, interval=0, count=4)
    rows = [row[1:] for row in csv.reader(io.StringIO(out.getvalue()))]
    assert rows == [["t1", "t2"], ["20.5", ""], ["", ""], ["", ""], ["21.0", "22.2"]]


def plugin_installed():
    return any(ep.value == "vexlor.pytest_plugin"
               for ep in metadata.entry_points().select(group="pytest11"))


@pytest.mark.skipif(not EXAMPLES.is_dir(), reason="needs the source tree's examples")
@pytest.mark.parametrize("way", ["entry point", "-p", "conftest"])
def test_the_plugin_loads_once_however_it_is_named(tmp_path, way):
    if way == "entry point" and not plugin_installed():
        pytest.skip("the package is not installed with its entry point")
    (tmp_path / "test_example.py").write_text(
        (EXAMPLES / "test_output_follows_input.py").read_text())
    args = ["-p", "vexlor.pytest_plugin"] if way == "-p" else []
    if way == "conftest":
        (tmp_path / "conftest.py").write_text('pytest_plugins = ["vexlor.pytest_plugin"]\n')
    env = {k: v for k, v in os.environ.items() if k != "PYTEST_DISABLE_PLUGIN_AUTOLOAD"}
    if not plugin_installed():  # the package on sys.path, not installed: only the named ways
        env["PYTEST_DISABLE_PLUGIN_AUTOLOAD"] = "1"
        env["PYTHONPATH"] = str(Path(vexlor.__file__).resolve().parents[1])
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *args,
                           str(tmp_path)], capture_output=True, text=True, timeout=120,
                          cwd=tmp_path, env=env)
    assert done.returncode == 0 and "1 passed" in done.stdout, done.stdout + done.stderr
