"""``python -m vexlor``: the package's version, the driver it loads and where that driver's
settings live."""

from __future__ import annotations

import sys

from . import __version__, _native
from .driver import SETTINGS_FILE, default_settings_dir


def main() -> int:
    print(f"vexlor {__version__}")
    try:
        driver = _native.find_library()
    except _native.LibraryNotFoundError as error:
        print(f"driver: none found: {error}")
        return 1
    bundled = _native.is_bundled(driver)
    print(f"driver: {driver} ({'bundled' if bundled else 'installed'})")
    settings = default_settings_dir() if bundled else driver.parent
    print(f"settings: {settings / SETTINGS_FILE}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
