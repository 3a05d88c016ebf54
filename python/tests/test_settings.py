"""Vexlor.ini through vexlor-config, and the driver reading the caller's file."""

from __future__ import annotations

import re

import pytest

import vexlor


def test_settings_round_trip_through_vexlor_config(settings_dir):
    settings = vexlor.Settings(settings_dir)
    settings.set(7, ip="192.168.10.7", port=8080, timing=250, password="Pa&ss")
    settings.set(8, io_controller=True, ip="192.168.10.8")
    slots = settings.read()
    assert slots[7][:4] == ("192.168.10.7", 8080, 250, "Pa&ss")
    assert slots[8].io_controller and slots[8].port == 23
    assert slots[9][:4] == ("0.0.0.0", 80, 500, "")
    assert b"Pa&ss" not in settings.path.read_bytes()  # stored scrambled
    settings.set(7, password="", reply_timeout=0, reconnect=True)
    assert settings[7][3:] == ("", 0, True)
    assert slots[7][4:] == (5000, False)  # the defaults
    settings.reset(8)
    assert settings[8][:4] == ("0.0.0.0", 80, 500, "")
    with pytest.raises(vexlor.SettingsToolError):
        settings.set(7, password="two words")
    with pytest.raises(vexlor.SettingsToolError):
        settings.set(7, port=70000)


@pytest.mark.parametrize("ip, message", [
    ("127.0.0.010", "write 127.0.0.10; 127.0.0.010 would be read as 127.0.0.8"),
    ("192.168.001.020", "write 192.168.1.20; 192.168.001.020 would be read as 192.168.1.16"),
    ("127.0.0.09", "write 127.0.0.9; "),
])
def test_zero_padded_addresses_are_refused_naming_what_the_driver_would_use(settings_dir, ip,
                                                                           message):
    settings = vexlor.Settings(settings_dir)
    with pytest.raises(vexlor.SettingsToolError, match=re.escape(message)):
        settings.set(0, ip=ip)
    assert not settings.path.exists()


def test_a_save_changes_only_the_slots_it_is_given(sim):
    settings = vexlor.Settings(sim.settings_dir)
    before = settings.read()
    settings.update({sim.slot(0): {"timing": 75}, sim.slot(1): {"port": sim.port(1)}})
    after = settings.read()
    assert after[sim.slot(0)].timing == 75
    assert {s: v for s, v in after.items() if s != sim.slot(0)} == \
        {s: v for s, v in before.items() if s != sim.slot(0)}
    # The simulated I/O Controller keeps the port the helper gave it, not 23.
    assert after[sim.slot(5)].port == sim.port(5) != 23
    with sim.open(5) as dev:
        assert vexlor.wait_until(dev.read_inputs, lambda s: s.word == 0x83).word == 0x83


def test_a_private_driver_reads_the_callers_settings_file(sim, settings_dir):
    vexlor.Settings(settings_dir).set(3, ip="127.0.0.1", port=sim.port(0), timing=50,
                                      password="s3cret")
    with vexlor.Driver(settings=settings_dir / "Vexlor.ini") as driver:
        assert driver.settings.path == settings_dir / "Vexlor.ini"
        with driver.open(3, vexlor.Digital12) as dev:
            vexlor.wait_until(dev.read_inputs, lambda s: s.word == 0x5A5)
        # A change of the file is seen by the next open of the slot.
        vexlor.Settings(settings_dir).set(3, port=sim.port(1), password="x&y")
        with driver.open(3, vexlor.Digital24) as dev:
            vexlor.wait_until(dev.read_inputs, lambda s: s.word == 0xA1B2C3)


def test_shared_driver_of_vexlor_open(sim):
    with vexlor.open(0, vexlor.Digital12, settings=sim.settings_dir) as dev:
        assert vexlor.driver(settings=sim.settings_dir) is dev.driver
        vexlor.wait_until(dev.read_inputs, lambda s: s.word == 0x5A5)
    dev.driver.close()


def test_settings_file_must_be_named_vexlor_ini(tmp_path):
    with pytest.raises(ValueError, match="Vexlor.ini"):
        vexlor.Driver(settings=tmp_path / "plant.ini")
