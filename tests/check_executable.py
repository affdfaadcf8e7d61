#!/usr/bin/env python3
"""Checks what the built Windows executable needs in order to start on a clean machine.

Reads `objdump -p` and the file's bytes: the DLLs imported, the subsystem version, the
Terminal-Services-aware flag, the manifest and the version resource.
"""
import re
import subprocess
import sys

ALLOWED_DLLS = {"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "SHLWAPI.DLL"}
RT_VERSION, RT_MANIFEST = 0x10, 0x18
IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE = 0x8000


def utf16(text):
    return text.encode("utf-16-le")


def problems(executable, objdump):
    found = []
    headers = subprocess.run([objdump, "-p", executable], check=True, capture_output=True, text=True).stdout
    image = open(executable, "rb").read()

    dlls = {name.upper() for name in re.findall(r"DLL Name: (\S+)", headers)}
    if dlls != ALLOWED_DLLS:
        found.append(f"imports {sorted(dlls)}, expected exactly {sorted(ALLOWED_DLLS)}")
    # msvcrt's own formatter, not MinGW's replacement, writes the console text.
    if not re.search(r"^\s+\w+\s+\d+\s+vprintf$", headers, re.MULTILINE):
        found.append("vprintf is not imported from msvcrt")

    def header_value(name):
        match = re.search(rf"^{name}\s+(\S+)", headers, re.MULTILINE)
        return match.group(1) if match else None

    subsystem = (header_value("MajorSubsystemVersion"), header_value("MinorSubsystemVersion"))
    if subsystem != ("5", "1"):
        found.append(f"subsystem version {subsystem}, expected 5.1")
    characteristics = int(header_value("DllCharacteristics") or "0", 16)
    if not characteristics & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE:
        found.append(f"not Terminal-Services aware (DllCharacteristics {characteristics:#06x})")

    type_table = headers.split("Type Table:", 1)[1] if "Type Table:" in headers else ""
    types = {int(value, 16) for value in re.findall(r"^[0-9a-f]{3} {3}Entry: ID: (0x[0-9a-f]+)", type_table, re.MULTILINE)}
    if RT_MANIFEST not in types:
        found.append("no manifest resource")
    if RT_VERSION not in types:
        found.append("no version resource")

    manifest = re.search(rb"<assembly.*?</assembly>", image, re.DOTALL)
    if not manifest:
        found.append("no manifest text in the image")
    else:
        text = manifest.group(0)
        if b'level="requireAdministrator"' not in text:
            found.append("manifest does not require administrator rights")
        if b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v2">' not in text:
            found.append("manifest trustInfo is not in the asm.v2 namespace")
    for name, value in (("ProductName", "Velkor Remover"), ("ProductVersion", "0.1")):
        if not re.search(re.escape(utf16(name)) + rb"\x00\x00(\x00\x00)?" + re.escape(utf16(value)) + b"\x00\x00", image):
            found.append(f"version resource lacks {name} {value!r}")
    return found


def main():
    executable = sys.argv[1]
    objdump = sys.argv[2] if len(sys.argv) > 2 else "i686-w64-mingw32-objdump"
    found = problems(executable, objdump)
    for problem in found:
        print(f"{executable}: {problem}")
    if not found:
        print(f"{executable}: imports, subsystem 5.1, TS-aware, manifest and version resource as required")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
