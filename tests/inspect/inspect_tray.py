#!/usr/bin/env python3
"""Static checks of the shipped NimboraTray.exe (the 32-bit build): a PE32 for
the graphical subsystem that needs no MinGW DLLs, whose manifest runs it with
the user's own rights, declares Vista to 10, asks for DPI awareness and for
the version 6 common controls (the shield on its buttons needs them)."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import inspect_product as product  # noqa: E402
import inspect_resources as pe  # noqa: E402

SYSTEM_DLLS = product.SYSTEM_DLLS | {"comctl32.dll", "gdi32.dll"}


def main(argv):
    image = pe.load(argv[0])
    failures = []

    def check(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    product.check_windowed_i386(image, check, SYSTEM_DLLS)
    manifests = [r for r in pe.find_resources(image.resources(), product.RT_MANIFEST) if r.name == 1]
    check(len(manifests) == 1, "one application manifest (RT_MANIFEST 1)")
    if manifests:
        xml = " ".join(manifests[0].data.decode("utf-8").lower().split())
        check('requestedexecutionlevel level="asinvoker"' in xml, "runs with the user's own rights (asInvoker)")
        check(">true</dpiaware>" in xml, "DPI aware")
        check('name="microsoft.windows.common-controls" version="6.0.0.0"' in xml, "common controls version 6")
        for guid, release in product.SUPPORTED_OS.items():
            check(f'supportedos id="{{{guid}}}"' in xml, f"manifest declares Windows {release}")
    size = Path(argv[0]).stat().st_size
    print(f"size of {Path(argv[0]).name}: {size} bytes ({size / 1024:.0f} KiB)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
