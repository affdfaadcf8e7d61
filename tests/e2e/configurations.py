"""The Wine configurations an end-to-end run can use, and which of them this machine can run.

A configuration is a name, the Wine loader that runs the exe, which exe (the shipped 32-bit one
or the x86-64 build of the same sources) and the prefix's architecture:

    win32  the shipped exe in a 32-bit prefix: 32-bit Windows
    wow64  the shipped exe in a 64-bit prefix: a 32-bit program on 64-bit Windows
    win64  the x86-64 build in a 64-bit prefix, for machines that cannot run the shipped exe

Probed, never assumed: some kernels refuse every 32-bit ELF, and wine32 may not be installable.
"""

import subprocess
from dataclasses import dataclass

WINE_LIB = "/usr/lib/wine"


@dataclass(frozen=True)
class Configuration:
    name: str
    loader: str       # runs the exe: "wine" is 32-bit Wine, "wine64" 64-bit Wine
    shipped_exe: bool  # the 32-bit product, else the x86-64 build
    arch: str         # WINEARCH of the prefix


CONFIGURATIONS = {c.name: c for c in (
    Configuration("win32", "wine", True, "win32"),
    Configuration("wow64", "wine", True, "win64"),
    Configuration("win64", "wine64", False, "win64"),
)}
SHIPPED = ("win32", "wow64")


def _kernel_refuses_32bit():
    """Why this kernel cannot execute 32-bit programs, or None when it can (or cannot be told)."""
    try:
        subprocess.run(["/lib/ld-linux.so.2", "--version"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    except FileNotFoundError:
        return None
    except OSError as error:
        return f"this kernel does not execute 32-bit programs ({error.strerror})"
    return None


def _starts(loader):
    """Why this Wine loader cannot start here, or None when it can."""
    path = f"{WINE_LIB}/{loader}"
    refused = _kernel_refuses_32bit() if loader == "wine" else None
    if refused:
        return refused
    try:
        r = subprocess.run([path, "--version"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=30)
    except FileNotFoundError:
        return f"{path} is not installed (package {'wine32:i386' if loader == 'wine' else 'wine64'}; set-up says why)"
    except OSError as error:
        # The kernel refuses the 32-bit loader itself: "Exec format error".
        return f"this kernel cannot execute {path}: {error.strerror}"
    if r.returncode != 0:
        return f"{path} --version exited {r.returncode}: {r.stdout.decode(errors='replace').strip()[:200]}"
    return None


def why_not(name):
    """Why configuration `name` cannot run on this machine, or None when it can."""
    configuration = CONFIGURATIONS[name]
    problems = [_starts(configuration.loader)]
    if configuration.arch == "win64" and configuration.loader != "wine64":
        problems.append(_starts("wine64"))  # a 64-bit prefix is made and served by 64-bit Wine
    problems = [p for p in problems if p]
    return "; ".join(problems) or None


def preferred():
    """The one configuration for a single run (the demo, the benchmark): the shipped exe on 64-bit
    Windows, the machine most users have, else on 32-bit Windows, else the x86-64 build. Returns
    (configuration, {name: why not} for the shipped ones that cannot run)."""
    chosen, reasons = default_choice(True, True)
    name = "wow64" if "wow64" in chosen else chosen[0] if chosen else "win64"
    return CONFIGURATIONS[name], reasons


def default_choice(have_shipped, have_x86_64):
    """The configurations to run when none are asked for: every one of the shipped exe that this
    machine runs, else the x86-64 build. Returns ([names], {name: why not} for the shipped ones
    that cannot run)."""
    reasons = {name: why_not(name) for name in SHIPPED}
    chosen = [name for name in SHIPPED if have_shipped and reasons[name] is None]
    if not chosen and have_x86_64 and why_not("win64") is None:
        chosen = ["win64"]
    return chosen, {name: reason for name, reason in reasons.items() if reason}
