#!/usr/bin/env python3
"""Logs a Web-IO thermometer to CSV: one row per reading, a timestamp first.

    thermometer_csv.py --settings ~/plant --slot 4 --sensors 8 --interval 60 --output lab.csv
    thermometer_csv.py --simulate --count 5 --interval 2

The driver polls a thermometer at most once every 50 seconds; rows in between repeat the last
readings. A missing sensor gives an empty cell; a poll the device does not answer (a reboot, a
pulled cable) gives a row of empty cells, and logging goes on. Rows start with the first answer. --simulate starts vexlor-sim with one
thermometer and a temporary Vexlor.ini instead of using a real device.
"""

from __future__ import annotations

import argparse
import csv
import sys
import time
from datetime import datetime, timezone
from typing import Dict, Optional, Protocol, Sequence, TextIO, Tuple, Type, Union

import vexlor
from vexlor.testing import Simulator

FAMILIES: Dict[int, Type[Union[vexlor.Thermometer1, vexlor.Thermometer2, vexlor.Thermometer8]]] = {
    1: vexlor.Thermometer1, 2: vexlor.Thermometer2, 8: vexlor.Thermometer8}


class Thermometer(Protocol):
    """What the logger needs of vexlor.Thermometer1, 2 and 8."""

    @property
    def sensors(self) -> int: ...

    def read(self) -> Tuple[float, ...]: ...


def log(thermometer: Thermometer, out: TextIO, interval: float, count: int,
        header: bool = True) -> None:
    """Writes ``count`` rows (0: until interrupted), ``interval`` seconds apart."""
    writer = csv.writer(out)
    if header:
        writer.writerow(["time"] + [f"t{n + 1}" for n in range(thermometer.sensors)])
    rows = 0
    answered = False
    first = True
    while count == 0 or rows < count:
        if not first:
            time.sleep(interval)
        first = False
        stamp = datetime.now(timezone.utc).isoformat(timespec="seconds")
        try:
            readings = thermometer.read()
        except vexlor.NotConfiguredError:
            raise
        except vexlor.SocketError as error:
            # The device is away (rebooting, unplugged): a row with empty cells once it has
            # answered before, nothing while it never has; the next poll tries again.
            print(f"thermometer_csv: {stamp}: {error}", file=sys.stderr)
            if not answered:
                continue
            writer.writerow([stamp] + [""] * thermometer.sensors)
        else:
            answered = True
            writer.writerow([stamp] + ["" if t == vexlor.MISSING else f"{t:.1f}"
                                       for t in readings])
        out.flush()
        rows += 1


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--slot", type=int, default=0, help="slot of the thermometer (0)")
    parser.add_argument("--sensors", type=int, choices=sorted(FAMILIES), default=8,
                        help="1x, 2x or 8x Thermometer (8)")
    parser.add_argument("--settings", help="folder of the Vexlor.ini to use")
    parser.add_argument("--interval", type=float, default=60.0, help="seconds between rows (60)")
    parser.add_argument("--count", type=int, default=0, help="rows to write (0: until Ctrl-C)")
    parser.add_argument("--output", help="CSV file to append to (default: standard output)")
    parser.add_argument("--simulate", action="store_true",
                        help="read a thermometer of vexlor-sim instead of a real one")
    args = parser.parse_args(argv)

    family = FAMILIES[args.sensors]
    out = sys.stdout if args.output is None else open(args.output, "a", newline="")
    header = out.tell() == 0 if args.output else True
    try:
        if args.simulate:
            with Simulator(f"thermo{args.sensors},temps=21.0/----/19.5/22.0") as sim:
                sim.configure(first_slot=args.slot)
                log(sim.open(0, family), out, args.interval, args.count, header)
        else:
            with vexlor.open(args.slot, family, settings=args.settings) as thermometer:
                log(thermometer, out, args.interval, args.count, header)
    except KeyboardInterrupt:
        pass
    except vexlor.DriverError as error:
        print(f"thermometer_csv: {error}", file=sys.stderr)
        return 1
    finally:
        if out is not sys.stdout:
            out.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
