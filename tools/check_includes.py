#!/usr/bin/env python3
"""Fails on any #include that points up a layer or across to the uninstaller.

Usage: check_includes.py [SOURCE_ROOT]   (default: the folder above tools/)

Every file below Device/ belongs to one floor; a file may include files of its
own floor and of the floors below it. The library's floors, low to high:

  platform     Device/Platform (its Uninstaller folder excepted)
  framework    Device/KTFramework and Device/DeviceControl, with floors of
               their own (see FLOORS)
  network      Device/velquin/Common/CrossPlatform/Network and NetworkDiscovery
  devices      the rest of Device/velquin, file by file, in floors of its own:
               the host's header, the device message codec and the device
               base; the connectors (device helper, identify exchange); the two
               device kinds; discovery, the network search and the sources,
               which reach the manager's lists through IDeviceLists only; the
               manager; and on top the composition root, which wires the
               library at load and holds the exported functions' bodies

The uninstaller (Device/Uninstaller, Device/Platform/Uninstaller) stands apart:
it includes only itself and the platform floor, and no library file includes
it. Tests and benchmarks
may include any library floor and test files; only the uninstaller's tests
(tests/Uninstaller, tests/Platform/Uninstaller), their peer processes
(tests/support/Uninstaller) and fuzz targets (tests/fuzz/Uninstaller) may
include the uninstaller.

Each violation is printed as "path:line: ..." and the exit status is 1. A
folder of Device/KTFramework or Device/DeviceControl, or a file of the devices
floors, that no floor names is an error too: add it to FLOORS.
"""

import os
import re
import sys

# (floor name, rank, path prefixes below the source root). A file takes the
# floor with the longest matching prefix; equal ranks may include each other.
LIBRARY = "library"
UNINSTALLER = "uninstaller"
FLOORS = [
    ("platform", 0, ["Device/Platform/"]),
    ("framework/Defs", 10, ["Device/KTFramework/Defs/"]),
    ("framework/ObjectBase", 11, ["Device/KTFramework/ObjectBase/"]),
    ("framework/Storage", 12, ["Device/KTFramework/Utilities/Storage/"]),
    ("framework/Threading+System", 13, ["Device/KTFramework/Utilities/Threading/", "Device/KTFramework/System/"]),
    ("framework/Notification", 14, ["Device/KTFramework/Notification/"]),
    ("framework/DeviceControl", 15, ["Device/DeviceControl/"]),
    (
        "network",
        20,
        ["Device/velquin/Common/CrossPlatform/Network/", "Device/velquin/Common/CrossPlatform/NetworkDiscovery/"],
    ),
    # Device control, by file: a prefix ending in "." names a header and its
    # source.
    (
        "devices/base",
        30,
        [
            "Device/velquin/Common/CrossPlatform/VelquinInterface.h",
            "Device/velquin/Common/CrossPlatform/DeviceMessageSerializer.",
            "Device/velquin/Common/CrossPlatform/DeviceBase.",
            "Device/velquin/Common/CrossPlatform/DeferredDeviceWork.",
        ],
    ),
    (
        "devices/connectors",
        31,
        [
            "Device/velquin/Common/MacLocalConnector.",
            "Device/velquin/Common/CrossPlatform/DeviceNetworkTimeouts.h",
            "Device/velquin/Common/CrossPlatform/DeviceIdentifiersRetriever.",
        ],
    ),
    (
        "devices/kinds",
        32,
        ["Device/velquin/Common/DeviceLocal.", "Device/velquin/Common/CrossPlatform/DeviceNetwork."],
    ),
    (
        "devices/search",
        33,
        [
            "Device/velquin/Common/CrossPlatform/DeviceLists.h",
            "Device/velquin/Common/CrossPlatform/DeviceDiscovery.h",
            "Device/velquin/Common/CrossPlatform/DnsSdDeviceDiscovery.",
            "Device/velquin/Common/CrossPlatform/NetworkDeviceSearch.",
            "Device/velquin/Common/CrossPlatform/DeviceSources.h",
            "Device/velquin/Common/CrossPlatform/SystemDeviceSources.",
        ],
    ),
    ("devices/manager", 34, ["Device/velquin/Common/CrossPlatform/DeviceManager."]),
    ("devices/root", 35, ["Device/velquin/Common/CrossPlatform/VelquinInterface.cpp"]),
]
UNINSTALLER_PREFIXES = ["Device/Uninstaller/", "Device/Platform/Uninstaller/"]
# The one library floor the uninstaller builds on.
UNINSTALLER_BASE_FLOOR = "platform"
# Folders whose every subfolder must be named by a floor above.
FLOORED_FOLDERS = ["Device/KTFramework/", "Device/DeviceControl/"]
UNINSTALLER_TEST_PREFIXES = [
    "tests/Uninstaller/",
    "tests/Platform/Uninstaller/",
    "tests/support/Uninstaller/",
    "tests/fuzz/Uninstaller/",
]
SCANNED = ["Device", "tests", "bench"]
EXTENSIONS = (".h", ".hpp", ".cpp", ".cc", ".c", ".inl")

INCLUDE = re.compile(r'^\s*#\s*include\s*(["<])([^">]+)[">]')


def classify(path):
    """(kind, rank, floor name) of a path below the source root, or None."""
    for prefix in UNINSTALLER_PREFIXES:
        if path.startswith(prefix):
            return (UNINSTALLER, None, "uninstaller")
    best = None
    for name, rank, prefixes in FLOORS:
        for prefix in prefixes:
            if path.startswith(prefix) and (best is None or len(prefix) > len(best[0])):
                best = (prefix, rank, name)
    if best is None:
        return None
    for folder in FLOORED_FOLDERS:
        if path.startswith(folder) and not best[0].startswith(folder):
            return None
    return (LIBRARY, best[1], best[2])


def device_folders(root, cache={}):
    """The folders directly below Device/, each with a trailing slash."""
    if root not in cache:
        device = os.path.join(root, "Device")
        cache[root] = [entry + "/" for entry in os.listdir(device) if os.path.isdir(os.path.join(device, entry))]
    return cache[root]


def resolve(root, including, target, bracket):
    """The included file's path from the root, or None when it is not a file
    of Device/ or tests/ (a system or third-party header)."""
    device_roots = device_folders(root)
    candidates = []
    if not bracket:
        candidates.append(os.path.join(os.path.dirname(including), target))
    candidates.append(os.path.join("Device", target))
    if including.startswith("tests/"):
        candidates.append(os.path.join("tests", target))
    for candidate in candidates:
        candidate = os.path.normpath(candidate)
        if not candidate.startswith(".."):
            if os.path.isfile(os.path.join(root, candidate)):
                return candidate.replace(os.sep, "/")
    # A Device-rooted name of a file that does not exist is still judged by its
    # place (the compiler reports the missing file).
    if any(target.startswith(folder) for folder in device_roots):
        return "Device/" + target
    return None


def check_file(root, path, errors):
    own = classify(path) if path.startswith("Device/") else None
    if path.startswith("Device/") and own is None:
        errors.append(f"{path}:1: no floor is known for this file; add it to FLOORS in tools/check_includes.py")
        return
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as source:
        for number, line in enumerate(source, 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            bracket, target = match.group(1) == "<", match.group(2)
            included = resolve(root, path, target, bracket)
            if included is None or not included.startswith("Device/"):
                continue
            theirs = classify(included)
            if theirs is None:
                errors.append(f'{path}:{number}: includes "{target}", which lies in no known floor')
                continue
            reason = judge(path, own, theirs)
            if reason:
                errors.append(f'{path}:{number}: includes "{target}": {reason}')


def judge(path, own, theirs):
    """Why including a file of floor `theirs` from `path` (floor `own`, None for
    tests and benchmarks) is wrong, or None when it is allowed."""
    if own is None:
        if theirs[0] == UNINSTALLER and not any(path.startswith(p) for p in UNINSTALLER_TEST_PREFIXES):
            return "only the uninstaller's tests include the uninstaller"
        return None
    if own[0] == UNINSTALLER or theirs[0] == UNINSTALLER:
        if own[0] == theirs[0] or (own[0] == UNINSTALLER and theirs[2] == UNINSTALLER_BASE_FLOOR):
            return None
        if own[0] == UNINSTALLER:
            return f"uninstaller includes {theirs[2]}: of the library it includes only the platform floor"
        return f"{own[2]} includes {theirs[2]}: the library includes nothing of the uninstaller"
    if theirs[1] > own[1]:
        return f"{own[2]} includes the higher floor {theirs[2]}"
    return None


def main(argv):
    root = os.path.abspath(argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    errors = []
    seen = set()
    for top in SCANNED:
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs.sort()
            for name in sorted(files):
                if name.endswith(EXTENSIONS):
                    path = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
                    seen.add(path)
                    check_file(root, path, errors)
    for error in errors:
        print(error)
    if errors:
        print(f"{len(errors)} include(s) against the layers")
        return 1
    print(f"includes: {len(seen)} files keep to their layers")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
