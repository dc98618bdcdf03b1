"""Checks that the plug-in and our host import only DLLs that every Windows
from XP on ships, so that each runs from a folder with nothing beside it.

    check_imports.py FILE...

Prints each file's imported DLLs (ordinary and delay-loaded) and fails when one
of them is not in the list below, or when a file is missing or is not a
32-bit PE image.
"""
import sys

import pefile

SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll", "ole32.dll",
    "oleaut32.dll", "advapi32.dll", "msvcrt.dll", "wsock32.dll", "ws2_32.dll", "comdlg32.dll",
    "shlwapi.dll", "version.dll", "winmm.dll", "imm32.dll", "winspool.drv", "mpr.dll",
    "rpcrt4.dll", "crypt32.dll", "wininet.dll", "psapi.dll", "secur32.dll", "netapi32.dll",
}


def imported_dlls(path):
    pe = pefile.PE(path, fast_load=True)
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        raise ValueError("not a 32-bit x86 image")
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"],
    ])
    names = []
    for attribute in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attribute, []):
            names.append(entry.dll.decode("ascii", "replace"))
    return names


def main(paths):
    if not paths:
        print("usage: check_imports.py FILE...", file=sys.stderr)
        return 2
    failed = False
    for path in paths:
        try:
            names = imported_dlls(path)
        except (OSError, pefile.PEFormatError, ValueError) as error:
            print(f"{path}: cannot read the import table: {error}")
            failed = True
            continue
        foreign = [n for n in names if n.lower() not in SYSTEM_DLLS]
        print(f"{path}: imports {', '.join(sorted(names, key=str.lower)) or 'nothing'}")
        if foreign:
            print(f"{path}: needs DLLs a user's Windows does not have: {', '.join(foreign)}")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
