"""Shared fixtures of the package's tests.

The suite runs against the package on sys.path (the staged build/python, or an installed
wheel) and the driver, vexlor-config and vexlor-sim it finds by itself. Every simulator is
stopped and every private driver removed at the end of its test.
"""

from __future__ import annotations

from pathlib import Path
from typing import Iterator

import pytest

from vexlor.testing import Simulator

SOURCE_DIR = Path(__file__).resolve().parents[2]
HEADER = SOURCE_DIR / "include" / "vexlor.h"


@pytest.fixture
def settings_dir(tmp_path: Path) -> Path:
    folder = tmp_path / "settings"
    folder.mkdir()
    return folder


@pytest.fixture
def sim() -> Iterator[Simulator]:
    """One simulated device of every family, configured on slots 0-5 with exact readings."""
    with Simulator(
        "digital12,name=d12,pw=s3cret,inputs=0x5A5,outputs=0x000",
        "digital24,name=d24,pw=x&y,inputs=0xA1B2C3",
        "thermo1,name=t1,temps=-5.5,drift=0",
        "thermo2,name=t2,temps=20.5/----,drift=0",
        "thermo8,name=t8,temps=11.5/12.5/13.5/----/15.5/16.5/17.5/18.5,drift=0",
        "iocontroller,name=ioc,inputs=0x83",
    ) as simulator:
        simulator.configure()
        yield simulator
