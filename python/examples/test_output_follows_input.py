"""An acceptance test of a machine's logic against a simulated Web-IO 12xDigital.

The logic under test switches output 3 as input 3 is. With the vexlor package installed pytest
provides the fixture ``vexlor_sim`` by itself (run ``pytest test_output_follows_input.py``); from
a source tree add ``-p vexlor.pytest_plugin``.
"""

import pytest

import vexlor
from vexlor.testing import Simulator


def follow_input_3(dev: vexlor.Digital12) -> None:
    """The machine's logic: output 3 follows input 3, the other outputs stay off."""
    inputs = dev.read_inputs()
    dev.write_outputs(inputs.bits[3] << 3)


@pytest.mark.vexlor_devices("digital12")
def test_output_3_follows_input_3(vexlor_sim: Simulator) -> None:
    with vexlor_sim.open(0, vexlor.Digital12) as dev:
        for on in (True, False, True):
            vexlor_sim.control.set_input(0, 3, on)

            def output_3() -> bool:
                follow_input_3(dev)  # one cycle of the logic
                return vexlor_sim.control.output(0, 3)

            assert vexlor.wait_until(output_3, lambda state: state == on, timeout=5) == on
        assert vexlor_sim.control.outputs(0) == 0b1000
