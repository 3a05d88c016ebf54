"""pytest plugin: simulated devices as the fixture ``vexlor_sim``.

Installed with the package, pytest loads it by itself (entry point ``pytest11``); elsewhere add
``pytest_plugins = ["vexlor.pytest_plugin"]`` to a ``conftest.py``. ::

    @pytest.mark.vexlor_devices("digital12")
    def test_lamp(vexlor_sim):
        with vexlor_sim.open(0) as dev:
            dev.write_outputs(0b1000)

``vexlor_sim`` is a started :class:`vexlor.testing.Simulator` with the devices of the test's
``vexlor_devices`` mark (one device of every family when there is none), a ``Vexlor.ini`` in the
test's temporary folder that puts device i on slot i, and its own private driver. Keywords of
the mark go to :meth:`~vexlor.testing.Simulator.configure` (``timing=``, ``first_slot=``,
``reply_timeout=``, ``reconnect=``), except ``args=`` which goes to the simulator. Everything is
stopped and removed after the test.
"""

from __future__ import annotations

from typing import Iterator

import pytest

from .testing import Simulator

ALL_FAMILIES = ("digital12", "digital24", "thermo1", "thermo2", "thermo8", "iocontroller")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "vexlor_devices(*devices, timing=None, first_slot=0, reply_timeout=None, "
        "reconnect=None, args=()): the simulated devices of the vexlor_sim fixture "
        "(vexlor-sim descriptions)")


@pytest.fixture
def vexlor_sim(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory
               ) -> Iterator[Simulator]:
    """A running device simulator with a configured private driver (see the module)."""
    marker = request.node.get_closest_marker("vexlor_devices")
    devices = tuple(marker.args) if marker and marker.args else ALL_FAMILIES
    options = dict(marker.kwargs) if marker else {}
    args = options.pop("args", ())
    with Simulator(*devices, args=args) as sim:
        sim.configure(tmp_path_factory.mktemp("vexlor"), **options)
        yield sim
