#!/usr/bin/env python3
"""Holds the dynamic symbols that libvelquin.so defines to the export rule.

Usage: check_exports.py LIBRARY
       check_exports.py --nm-listing FILE   (a saved "nm -D --defined-only")

The library exports exactly:
  - the seven UTF converters under their plain C names (all required);
  - the 14 exported QVRX_ functions of device control (all required);
  - members of the framework's namespace KT, with their type information,
    virtual tables, VTTs, thunks and guard variables, but nothing of the
    platform layer (KT::Platform).
cmake/libvelquin.map makes the linker keep to the same rule; change both
together. Every stray symbol and every missing required one is printed, and the
exit status is then 1.
"""

import subprocess
import sys

C_NAMES = [
    "ConvertUTF8toUTF16",
    "ConvertUTF16toUTF8",
    "ConvertUTF32toUTF16",
    "ConvertUTF16toUTF32",
    "ConvertUTF32toUTF8",
    "ConvertUTF8toUTF32",
    "isLegalUTF8Sequence",
]

# The 14 exported functions of device control (all required).
QVRX_NAMES = [
    "QVRX_FindDevices",
    "QVRX_FindRemoteDevices",
    "QVRX_ConnectDevice",
    "QVRX_IsDeviceConnected",
    "QVRX_GetDeviceInfo",
    "QVRX_RequestParamRanges",
    "QVRX_RequestParamValues",
    "QVRX_GetParamValue",
    "QVRX_GetParamRanges",
    "QVRX_GetParamValues",
    "QVRX_SetParamValue",
    "QVRX_SetParamValues",
    "QVRX_DisconnectDevice",
    "QVRX_ReleaseAll",
]

# What may stand before a framework name in a demangled symbol.
CXX_PREFIXES = [
    "typeinfo for ",
    "typeinfo name for ",
    "vtable for ",
    "VTT for ",
    "virtual thunk to ",
    "non-virtual thunk to ",
    "guard variable for ",
]
NAMESPACE = "KT::"
HIDDEN_NAMESPACES = ["KT::Platform::"]


def read_listing(text):
    """Mangled names of the defined symbols in nm output."""
    names = []
    for line in text.splitlines():
        fields = line.split()
        if len(fields) >= 3:
            names.append(fields[2])
        elif len(fields) == 2:  # an absolute symbol without an address column
            names.append(fields[1])
    return names


def demangle(names):
    if not names:
        return []
    result = subprocess.run(["c++filt"], input="\n".join(names) + "\n", capture_output=True, text=True, check=True)
    demangled = result.stdout.splitlines()
    if len(demangled) != len(names):
        raise RuntimeError("c++filt gave back a different number of names")
    return demangled


def is_allowed(mangled, demangled):
    if not mangled.startswith("_Z"):
        return mangled in C_NAMES or mangled in QVRX_NAMES
    name = demangled
    for prefix in CXX_PREFIXES:
        if name.startswith(prefix):
            name = name[len(prefix) :]
            break
    return name.startswith(NAMESPACE) and not any(name.startswith(hidden) for hidden in HIDDEN_NAMESPACES)


def check(mangled_names):
    """(stray symbols as "demangled [mangled]", missing required names)."""
    demangled_names = demangle(mangled_names)
    strays = sorted(
        {
            f"{demangled} [{mangled}]" if demangled != mangled else mangled
            for mangled, demangled in zip(mangled_names, demangled_names)
            if not is_allowed(mangled, demangled)
        }
    )
    present = set(mangled_names)
    missing = [name for name in C_NAMES + QVRX_NAMES if name not in present]
    return strays, missing


def main(argv):
    if len(argv) == 3 and argv[1] == "--nm-listing":
        with open(argv[2]) as listing:
            text = listing.read()
        source = argv[2]
    elif len(argv) == 2:
        text = subprocess.run(
            ["nm", "-D", "--defined-only", argv[1]], capture_output=True, text=True, check=True
        ).stdout
        source = argv[1]
    else:
        print(__doc__)
        return 2
    names = read_listing(text)
    strays, missing = check(names)
    for stray in strays:
        print(f"stray export: {stray}")
    for name in missing:
        print(f"missing export: {name}")
    if strays or missing:
        print(f"{source}: {len(strays)} stray and {len(missing)} missing export(s)")
        return 1
    print(f"{source}: {len(names)} exports keep to the rule")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
