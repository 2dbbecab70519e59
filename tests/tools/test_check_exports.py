#!/usr/bin/env python3
"""Plants stray symbols into the dynamic symbol listing of the built library
and expects tools/check_exports.py to fail on each, naming it; a missing
converter must fail too, and the listing as built must pass.

Usage: test_check_exports.py LIBRARY SOURCE_ROOT
"""

import os
import subprocess
import sys
import tempfile
import unittest

LIBRARY = None
ROOT = None

# (what is planted, nm line, the name the check must print)
STRAYS = [
    ("platform function", "0000000000001000 T _ZN2KT8Platform11GetTimeBaseEv", "KT::Platform::GetTimeBase()"),
    (
        "platform class information",
        "0000000000002000 V _ZTIN2KT8Platform12NativeThreadE",
        "typeinfo for KT::Platform::NativeThread",
    ),
    ("libstdc++ inline", "0000000000001000 W _ZNSt6vectorIiSaIiEED2Ev", "std::vector<int, std::allocator<int> >::~vector()"),
    ("standard type information", "0000000000002000 V _ZTISt9exception", "typeinfo for std::exception"),
    ("plain C helper", "0000000000001000 T velquin_helper", "velquin_helper"),
    (
        "network internals outside KT",
        "0000000000001000 T _ZN18LNetworkConnection4OpenEv",
        "LNetworkConnection::Open()",
    ),
    (
        "function template of KT with its return type first",
        "0000000000001000 W _ZN2KT14ThrowExceptionISt12out_of_rangeEEvRKNS_13ExceptionSiteEPKc",
        "void KT::ThrowException<std::out_of_range>(KT::ExceptionSite const&, char const*)",
    ),
]


def nm_listing():
    return subprocess.run(
        ["nm", "-D", "--defined-only", LIBRARY], capture_output=True, text=True, check=True
    ).stdout.splitlines()


def run_check(lines):
    with tempfile.NamedTemporaryFile("w", suffix=".nm", delete=False) as listing:
        listing.write("\n".join(lines) + "\n")
    try:
        checker = os.path.join(ROOT, "tools", "check_exports.py")
        result = subprocess.run(
            [sys.executable, checker, "--nm-listing", listing.name], capture_output=True, text=True
        )
        return result.returncode, result.stdout + result.stderr
    finally:
        os.unlink(listing.name)


class CheckExportsTest(unittest.TestCase):
    def test_the_library_as_built_passes(self):
        code, output = run_check(nm_listing())
        self.assertEqual(0, code, output)

    def test_planted_strays(self):
        built = nm_listing()
        for name, line, printed in STRAYS:
            with self.subTest(name):
                code, output = run_check(built + [line])
                self.assertEqual(1, code, output)
                self.assertIn(f"stray export: {printed}", output)

    def test_every_stray_is_listed(self):
        code, output = run_check(nm_listing() + [line for _, line, _ in STRAYS])
        self.assertEqual(1, code, output)
        self.assertEqual(len(STRAYS), output.count("stray export: "), output)

    def test_a_missing_converter(self):
        lines = [line for line in nm_listing() if not line.endswith(" isLegalUTF8Sequence")]
        code, output = run_check(lines)
        self.assertEqual(1, code, output)
        self.assertIn("missing export: isLegalUTF8Sequence", output)

    def test_a_missing_exported_function(self):
        lines = [line for line in nm_listing() if not line.endswith(" QVRX_SetParamValues")]
        code, output = run_check(lines)
        self.assertEqual(1, code, output)
        self.assertIn("missing export: QVRX_SetParamValues", output)


if __name__ == "__main__":
    LIBRARY = os.path.abspath(sys.argv.pop(1))
    ROOT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
