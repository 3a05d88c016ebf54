"""The driver's results as exceptions: bad slot, slot in use, refused, silent and socket errors."""

from __future__ import annotations

import pytest

import vexlor


def test_bad_slot(sim):
    driver = sim.driver()
    for slot in (100, 65535):
        with pytest.raises(vexlor.BadSlotError) as caught:
            driver.open(slot, vexlor.Digital12)
        assert (caught.value.code, caught.value.slot) == (2, slot)
        with pytest.raises(vexlor.BadSlotError):
            vexlor.Thermometer8(driver, slot).read()
    # A number that does not fit 16 bits would reach the driver cut to another slot.
    with pytest.raises(ValueError):
        driver.open(65536, vexlor.Digital12)


def test_slot_in_use(sim):
    with sim.open(0):
        with pytest.raises(vexlor.SlotInUseError) as caught:
            sim.open(0)
        assert caught.value.code == 6 and caught.value.function == "VexlorWeb_IO_Init"


def test_refused(sim):
    sim.control.set_fault("d12", "refuse")
    with pytest.raises(vexlor.RefusedError) as caught:
        sim.open(0)
    assert (caught.value.code, caught.value.name) == (10061, "WSAECONNREFUSED")
    sim.control.clear_fault("d12", "refuse")
    with sim.open(0) as dev:
        vexlor.wait_until(dev.read_inputs, lambda s: s.word == 0x5A5)


def test_restarted_device_is_reached_again_after_reopening(sim):
    with sim.open(1) as dev:
        vexlor.wait_until(dev.read_inputs, lambda s: s.word == 0xA1B2C3)
    sim.control.restart("d24")
    sim.control.set_inputs("d24", 0x123456)
    with sim.open(1) as dev:
        vexlor.wait_until(dev.read_inputs, lambda s: s.word == 0x123456)


def test_silent_thermometer_keeps_its_last_readings(sim):
    # A silent device: the read waits its Timing and keeps the values it had (none yet: 0.0);
    # a driver that reports such a read as 10060 hands the same values over in the exception.
    sim.configure(sim.settings_dir, timing=300)
    sim.control.set_fault("t8", "silent")
    try:
        readings = sim.open(4).read()
    except vexlor.NoAnswerError as error:
        readings = error.values
    assert readings == (0.0,) * 8


def test_never_opened_slot_gives_the_socket_error_of_the_failed_send(sim):
    device = vexlor.Digital12(sim.driver(), 42)
    with pytest.raises(vexlor.SocketError) as caught:
        device.read_inputs()
    # The failed send leaves the caller's variables as they were: no values to hand over.
    assert caught.value.values is None
    assert caught.value.code > 10000 and caught.value.name.startswith("WSA")
    with pytest.raises(vexlor.SocketError) as caught:
        device.write_outputs([1] * 12)  # 0 would equal the never-set shadow and send nothing
    assert caught.value.function == "VexlorWeb_IO_12xDigital_WriteDO"
