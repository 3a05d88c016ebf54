"""The driver's results as exceptions: bad slot, slot in use, refused, silent and socket errors."""

from __future__ import annotations

import time

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


def raised_by(read, timeout=10.0):
    """Calls ``read`` until it raises a DriverError (bounded); returns the exception."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            read()
        except vexlor.DriverError as error:
            return error
        time.sleep(0.05)
    raise AssertionError(f"no DriverError within {timeout} s")


def word_or_none(read):
    """The word a read returns, or None while it raises a socket error (device away)."""
    try:
        return read().word
    except vexlor.SocketError:
        return None


def test_silent_device_raises_no_answer_with_the_last_values(sim):
    sim.configure(sim.settings_dir, reply_timeout=300)
    with sim.open(0) as dev:
        vexlor.wait_until(dev.read_inputs, lambda s: s.word == 0x5A5)
        sim.control.set_fault("d12", "silent")
        error = raised_by(dev.read_inputs)
        assert isinstance(error, vexlor.NoAnswerError), error
        assert error.values == vexlor.DigitalState(0x5A5, (1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0))
        sim.control.clear_fault("d12", "silent")
        sim.control.set_inputs("d12", 0x0A5)
        # Reads go on raising until the first reply after the silence is decoded.
        vexlor.wait_until(lambda: word_or_none(dev.read_inputs), lambda w: w == 0x0A5)


def test_silent_thermometer_raises_no_answer_with_its_cached_readings(sim):
    sim.configure(sim.settings_dir, timing=300)
    sim.control.set_fault("t8", "silent")
    with pytest.raises(vexlor.NoAnswerError) as caught:
        sim.open(4).read()
    assert caught.value.values == (0.0,) * 8  # nothing received yet


def test_restart_with_reconnect_needs_no_reopening(sim):
    sim.configure(sim.settings_dir, reconnect=True)
    with sim.open(0) as dev:
        dev.write_outputs(0b1000)
        vexlor.wait_until(dev.read_outputs, lambda s: s.word == 0b1000)
        sim.control.restart("d12")  # the device comes back with its outputs off
        sim.control.set_inputs("d12", 0x0F0)

        # Down, or not answered yet, while the driver reconnects by itself.
        vexlor.wait_until(lambda: word_or_none(dev.read_inputs), lambda w: w == 0x0F0, timeout=10)
        dev.write_outputs(0b1000)  # a new connection sends every output again
        assert vexlor.wait_until(lambda: sim.control.outputs("d12"), lambda w: w == 0b1000) == 0b1000


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


def test_errors_say_what_to_do(sim, tmp_path, monkeypatch):
    driver = sim.driver()
    settings_file = sim.settings_dir / "Vexlor.ini"
    vexlor.Settings(sim.settings_dir).set(51, ip="0.0.0.0", port=80)
    # An unconfigured slot names the file and how to set it, for Init and a thermometer read.
    for slot, open_it in ((50, lambda: driver.open(50, vexlor.Digital12)),
                          (51, lambda: driver.open(51, vexlor.IOController)),
                          (52, lambda: vexlor.Thermometer2(driver, 52).read())):
        with pytest.raises(vexlor.NotConfiguredError) as caught:
            open_it()
        assert caught.value.code == 10049 and caught.value.settings_file == str(settings_file)
        assert str(caught.value).startswith(f"slot {slot} is not configured in {settings_file}")
        assert f"vexlor-config --dir {sim.settings_dir} set {slot} --ip" in str(caught.value)
    # A mistyped settings folder is named, and not created.
    missing = tmp_path / "no-such-plant"
    with pytest.raises(FileNotFoundError, match=f"settings folder {missing} does not exist"):
        vexlor.open(0, vexlor.Digital12, settings=missing)
    assert not missing.exists()
    # A closed device reaches nothing; closing again, and after its driver, is harmless.
    dev = sim.open(0, vexlor.Digital12)
    dev.close()
    monkeypatch.setattr(driver, "call", lambda *args, **kwargs: pytest.fail("driver called"))
    for call in (dev.read_inputs, dev.read_counters, lambda: dev.write_outputs(1)):
        with pytest.raises(vexlor.NotOpenError, match="slot 0 is not open") as caught:
            call()
        assert (caught.value.code, caught.value.slot) == (10038, 0)
    dev.close()
    monkeypatch.undo()
    other = sim.open(1, vexlor.Digital24)
    driver.close()
    with pytest.raises(vexlor.NotOpenError, match="slot 1 is not open"):
        other.read_inputs()
    other.close()


def test_undecodable_replies_reach_the_vexlor_logger_with_their_slot(sim, caplog, capfd):
    sim.control.set_fault("d12", "garbage")
    with sim.open(0) as dev:
        vexlor.wait_until(lambda: (dev.read_inputs(), caplog.records)[1], bool, timeout=10)
    record = caplog.records[0]
    assert (record.name, record.levelname, record.slot) == ("vexlor", "WARNING", 0)
    assert record.caption == "Web-IO 12xDigital" and record.getMessage().startswith(
        "slot 0: Web-IO 12xDigital: ")
    assert "Web-IO 12xDigital" not in capfd.readouterr().err  # the pipe, not standard error
