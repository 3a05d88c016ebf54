"""Every family's reads and writes through the package against vexlor-sim.

The simulated values are chosen so that a swapped argument, a wrong width or a wrong order of
the pointers gives a different result: no two channels hold the same value, words use their
top bits."""

from __future__ import annotations

import pytest

import vexlor
from vexlor import wait_until


def test_digital12_reads_writes_counters_and_error_latch(sim):
    control = sim.control
    for n in range(12):
        control.set_counter("d12", n, 1000 * n + 7)
    with sim.open(0) as dev:
        assert isinstance(dev, vexlor.Digital12)
        state = wait_until(dev.read_inputs, lambda s: s.word == 0x5A5)
        assert state.bits == (1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0)

        dev.write_outputs(0b1000_0000_1001)
        assert wait_until(lambda: control.outputs("d12"), lambda w: w == 0x809) == 0x809
        dev.write_outputs([0, 1] + [0] * 9 + [1])
        state = wait_until(dev.read_outputs, lambda s: s.word == 0x802)
        assert state.bits == (0, 1) + (0,) * 9 + (1,)

        counters = wait_until(dev.read_counters, lambda c: c[11] == 11007)
        assert counters == tuple(1000 * n + 7 for n in range(12))
        dev.clear_counters([3, 10])
        counters = wait_until(dev.read_counters, lambda c: c[3] == 0 and c[10] == 0)
        assert counters[4] == 4007 and counters[11] == 11007
        control.set_counter("d12", 3, 55)
        dev.clear_counters(0b1000)  # cleared again although the same counter was named before
        assert wait_until(lambda: control.counter("d12", 3), lambda v: v == 0) == 0

        control.set_error_latch("d12", True)
        dev.clear_error()
        assert wait_until(lambda: control.error_latch("d12"), lambda on: not on) is False
        log = control.log("d12")
    assert all(request.endswith("PW=s3cret&") or "PW=s3cret&State=" in request
               for request in log)


def test_digital24_uses_32_bit_words_and_24_channels(sim):
    control = sim.control
    for n in range(24):
        control.set_counter("d24", n, 70000 + n)
    with sim.open(1) as dev:
        assert isinstance(dev, vexlor.Digital24)
        state = wait_until(dev.read_inputs, lambda s: s.word == 0xA1B2C3)
        assert state.bits == tuple((0xA1B2C3 >> n) & 1 for n in range(24))

        dev.write_outputs(0x800001)
        state = wait_until(dev.read_outputs, lambda s: s.word == 0x800001)
        assert state.bits == (1,) + (0,) * 22 + (1,)
        assert control.outputs("d24") == 0x800001

        counters = wait_until(dev.read_counters, lambda c: c[23] == 70023)
        assert counters == tuple(70000 + n for n in range(24))
        dev.clear_counters([23])
        counters = wait_until(dev.read_counters, lambda c: c[23] == 0)
        assert counters[22] == 70022


def test_thermometers_return_their_sensors_in_order(sim):
    driver = sim.driver()
    assert sim.open(2).read() == (-5.5,)
    assert sim.open(3).read() == (20.5, vexlor.MISSING)
    assert sim.open(4).read() == (11.5, 12.5, 13.5, vexlor.MISSING, 15.5, 16.5, 17.5, 18.5)
    # Between polls (50 s) a read returns the last readings without asking the device.
    sim.control.set_temperature("t2", 0, 30.0)
    assert vexlor.Thermometer2(driver, 3, language=vexlor.GERMAN).read() == (20.5, vexlor.MISSING)


def test_io_controller_inputs_and_outputs(sim):
    control = sim.control
    with sim.open(5) as dev:
        assert isinstance(dev, vexlor.IOController)
        state = wait_until(dev.read_inputs, lambda s: s.word == 0x83)
        assert state.bits == (1, 1, 0, 0, 0, 0, 0, 1)
        control.set_input("ioc", 4, True)
        assert wait_until(dev.read_inputs, lambda s: s.word == 0x93).bits[4] == 1

        dev.write_outputs([1, 0, 0, 0, 0, 0, 1, 0])
        assert wait_until(lambda: control.outputs("ioc"), lambda w: w == 0x41) == 0x41
        dev.write_outputs(0x80)
        assert wait_until(lambda: control.outputs("ioc"), lambda w: w == 0x80) == 0x80


def test_writes_refuse_values_the_driver_cannot_take(sim):
    with sim.open(0) as dev:
        with pytest.raises(ValueError):
            dev.write_outputs([1] * 11)
        with pytest.raises(ValueError):
            dev.write_outputs(1 << 12)
        with pytest.raises(ValueError):
            dev.write_outputs([0] * 11 + [65536])
