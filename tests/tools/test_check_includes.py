#!/usr/bin/env python3
"""Plants includes against the layers in a copy of the tree and expects
tools/check_includes.py to fail on each, naming the file and line; allowed
includes planted the same way must pass.

Usage: test_check_includes.py SOURCE_ROOT
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = None

# (what is planted, file that gets the include, the include, files created
# first, whether the check must fail)
CASES = [
    ("platform includes the framework", "Device/Platform/MonotonicClock.h", "KTFramework/Defs/Result.h", [], True),
    (
        "framework floor includes a higher framework floor",
        "Device/KTFramework/Defs/Result.h",
        "KTFramework/ObjectBase/RefCountedObject.h",
        [],
        True,
    ),
    (
        "relative include up a floor",
        "Device/KTFramework/Utilities/Storage/Buffer.cpp",
        "../Threading/Event.h",
        [],
        True,
    ),
    (
        "framework includes the network layer",
        "Device/DeviceControl/CommonInc/DeviceIdentifier.cpp",
        "velquin/Common/CrossPlatform/Network/Planted.h",
        ["Device/velquin/Common/CrossPlatform/Network/Planted.h"],
        True,
    ),
    (
        "network includes the devices layer",
        "Device/velquin/Common/CrossPlatform/NetworkDiscovery/Planted.cpp",
        "velquin/Common/CrossPlatform/DeviceBase.h",
        ["Device/velquin/Common/CrossPlatform/NetworkDiscovery/Planted.cpp"],
        True,
    ),
    (
        "the device base includes the manager",
        "Device/velquin/Common/CrossPlatform/DeviceBase.h",
        "velquin/Common/CrossPlatform/DeviceManager.h",
        [],
        True,
    ),
    (
        "the identify exchange includes the network device",
        "Device/velquin/Common/CrossPlatform/DeviceIdentifiersRetriever.cpp",
        "velquin/Common/CrossPlatform/DeviceNetwork.h",
        [],
        True,
    ),
    (
        "the network search includes the manager",
        "Device/velquin/Common/CrossPlatform/NetworkDeviceSearch.h",
        "velquin/Common/CrossPlatform/DeviceManager.h",
        [],
        True,
    ),
    (
        "a devices file no floor names",
        "Device/velquin/Common/CrossPlatform/Planted.h",
        "KTFramework/Defs/Result.h",
        ["Device/velquin/Common/CrossPlatform/Planted.h"],
        True,
    ),
    (
        "library includes the uninstaller",
        "Device/KTFramework/System/TimeUtils.cpp",
        "Platform/Uninstaller/Planted.h",
        ["Device/Platform/Uninstaller/Planted.h"],
        True,
    ),
    (
        "uninstaller includes the library above its platform floor",
        "Device/Uninstaller/SharedUninstaller/Planted.cpp",
        "KTFramework/Defs/Result.h",
        ["Device/Uninstaller/SharedUninstaller/Planted.cpp"],
        True,
    ),
    (
        "uninstaller includes the platform floor",
        "Device/Platform/Uninstaller/Planted.cpp",
        "Platform/MonotonicClock.h",
        ["Device/Platform/Uninstaller/Planted.cpp"],
        False,
    ),
    (
        "a library test includes the uninstaller",
        "tests/KTFramework/Defs/PlantedTest.cpp",
        "Uninstaller/SharedUninstaller/Planted.h",
        ["tests/KTFramework/Defs/PlantedTest.cpp", "Device/Uninstaller/SharedUninstaller/Planted.h"],
        True,
    ),
    (
        "a framework folder no floor names",
        "Device/KTFramework/Planted/Planted.h",
        "KTFramework/Defs/Result.h",
        ["Device/KTFramework/Planted/Planted.h"],
        True,
    ),
    (
        "devices include the network layer and the framework",
        "Device/velquin/Common/CrossPlatform/DeviceBase.cpp",
        "velquin/Common/CrossPlatform/Network/Planted.h",
        ["Device/velquin/Common/CrossPlatform/Network/Planted.h"],
        False,
    ),
    (
        "the composition root includes the manager and the sources",
        "Device/velquin/Common/CrossPlatform/VelquinInterface.cpp",
        "velquin/Common/CrossPlatform/SystemDeviceSources.h",
        [],
        False,
    ),
    (
        "uninstaller includes its platform part",
        "Device/Uninstaller/SharedUninstaller/Planted.cpp",
        "Platform/Uninstaller/Planted.h",
        ["Device/Uninstaller/SharedUninstaller/Planted.cpp", "Device/Platform/Uninstaller/Planted.h"],
        False,
    ),
    (
        "a test includes the manager",
        "tests/KTFramework/Defs/PlantedTest.cpp",
        "velquin/Common/CrossPlatform/DeviceManager.h",
        ["tests/KTFramework/Defs/PlantedTest.cpp"],
        False,
    ),
]


def run_check(root):
    checker = os.path.join(ROOT, "tools", "check_includes.py")
    result = subprocess.run([sys.executable, checker, root], capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


class CheckIncludesTest(unittest.TestCase):
    def copy_tree(self):
        work = tempfile.mkdtemp(prefix="velquin-includes-")
        self.addCleanup(shutil.rmtree, work)
        for top in ("Device", "tests", "bench"):
            if os.path.isdir(os.path.join(ROOT, top)):
                shutil.copytree(os.path.join(ROOT, top), os.path.join(work, top))
        return work

    def test_the_tree_passes(self):
        code, output = run_check(self.copy_tree())
        self.assertEqual(0, code, output)

    def test_planted_includes(self):
        for name, path, include, created, must_fail in CASES:
            with self.subTest(name):
                work = self.copy_tree()
                for new in created:
                    os.makedirs(os.path.dirname(os.path.join(work, new)), exist_ok=True)
                    with open(os.path.join(work, new), "w") as planted:
                        planted.write("// planted\n")
                with open(os.path.join(work, path), "a") as target:
                    target.write(f'#include "{include}"\n')
                with open(os.path.join(work, path)) as target:
                    line = sum(1 for _ in target)
                code, output = run_check(work)
                if must_fail:
                    self.assertEqual(1, code, output)
                    # Unknown folders are reported at line 1, includes at their own line.
                    where = f"{path}:1:" if "no floor" in name else f"{path}:{line}:"
                    self.assertIn(where, output)
                else:
                    self.assertEqual(0, code, output)


if __name__ == "__main__":
    ROOT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
