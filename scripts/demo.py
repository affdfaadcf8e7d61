#!/usr/bin/env python3
"""Runs the Windows executable in this terminal on a throwaway Wine machine where velkor is
installed for real: the service registered, a read-only driver file in system32, and the
service's key with subkeys and values. You answer the tool yourself; afterwards the demo shows
what is left of the three targets. It never touches your own Wine prefix (~/.wine).
"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import configurations  # noqa: E402
import winemachine  # noqa: E402

LABELS = {"service velkor": "service velkor",
          "file velkor.sys": "file C:\\windows\\system32\\velkor.sys",
          "key velkor": "key HKLM\\SYSTEM\\CurrentControlSet\\Services\\velkor"}


# On 64-bit Windows, a file of the same name in SysWOW64 that the tool must leave alone.
NAMESAKE = {"file syswow64/velkor.sys": "file C:\\windows\\syswow64\\velkor.sys (a namesake to keep)"}


def show(case, heading):
    remaining = case.remaining()
    print(heading)
    labels = dict(LABELS, **(NAMESAKE if case.arch == "win64" else {}))
    for name, label in labels.items():
        print(f"  {label}: {'present' if remaining[name] else 'gone'}")


def main():
    workdir = tempfile.mkdtemp(prefix="velkor-demo-")
    configuration, not_run = configurations.preferred()
    for name, reason in not_run.items():
        print(f"demo: the shipped exe cannot run here as {name}: {reason}")
    machine = winemachine.WineMachine(workdir, os.path.join(ROOT, "build", "e2e"), configuration)
    # Where the shipped 32-bit exe cannot run, the same sources built for x86-64 run instead.
    executable = os.path.join(ROOT, "build", "windows" if configuration.shipped_exe else "windows64",
                              "velkor-remover.exe")
    windows = "64-bit" if configuration.arch == "win64" else "32-bit"
    print(f"demo: making a throwaway {windows} Windows machine ({configuration.name}) in {workdir} (about 20 s)...")
    case = None
    try:
        machine.make_template()
        case = machine.new_case("demo")
        case.plant(service="stopped", driver="readonly-hidden-system", key="full")
        show(case, "demo: velkor is installed on the throwaway machine:")
        print(f"demo: running {os.path.relpath(executable, ROOT)} under Wine; answer it yourself.\n")
        sys.stdout.flush()
        status = subprocess.run([case.exe_loader, executable], env=case.env).returncode
        print(f"\ndemo: the tool exited with status {status}.")
        show(case, "demo: what is left on the throwaway machine:")
    finally:
        if case is not None:
            case.close()
        machine.close()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
