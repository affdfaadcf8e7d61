#!/usr/bin/env python3
"""Times the tool against a bare C program making the same platform calls, against Wine's bare
process start (a do-nothing exe) and against the batch file an administrator would write, under
one warm Wine server, with velkor planted again before every timed run (not timed).

    python3 scripts/benchmark.py [--pairs N] [--exe PATH]   # needs the builds: bash scripts/build.sh
    python3 scripts/benchmark.py --describe [--exe PATH]    # size, sections, imports; no Wine

The machine's load drifts while a benchmark runs, so tool and bare run in pairs, one right after
the other (tool first in even pairs, bare first in odd ones), and the result is the median of the
per-pair ratios tool/bare with its interquartile range. Each round then runs floor and batch the
same way (floor first in even rounds). The runs are timed here, from start to exit, on one CPU.
All of it twice, for two machine states:

    installed   stopped service, read-only driver file, key with subkeys and values (the service
                manager deletes the key with the service, so the key step finds nothing)
    key alone   the driver file and the key with subkeys and values, no service (the key step
                walks and deletes the whole key tree)

It runs the shipped 32-bit exe wherever this machine can (as on 64-bit Windows where it can),
else the x86-64 build of the same sources, and says which. --exe times another build instead.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import configurations  # noqa: E402
import planting  # noqa: E402
import winemachine  # noqa: E402

PAIRS = 60
WARMUP = 3
STATES = {
    "installed": "stopped service, read-only driver file, key with subkeys and values",
    "key alone": "read-only driver file, key with subkeys and values, no service",
}


def plant(case, service):
    """Puts velkor on the machine again (not timed): the read-only driver file, the service if
    asked for, and the key's values and subkeys. Every run but floor's has deleted the service, so
    there is none from before: floor's planting leaves it out."""
    quiet = dict(env=case.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    driver = case.unix_path(planting.DRIVER_REL)
    if os.path.exists(driver):
        os.chmod(driver, 0o644)
        os.unlink(driver)
    with open(driver, "wb") as f:
        f.write(b"MZ" + b"\0" * 1022)
    os.chmod(driver, 0o444)
    if service:
        subprocess.run([case.tool_loader, "sc", "create", "velkor", "binPath=", planting.DRIVER_WIN, "type=",
                        "kernel"], check=True, **quiet)
    subprocess.run([case.tool_loader, "reg", "import", r"C:\bench\velkor-key.reg"], check=True, **quiet)


def timed(case, argv, stdin_path):
    """Seconds one run takes, from start to exit."""
    with open(stdin_path, "rb") as stdin:
        started = time.perf_counter()
        r = subprocess.run(argv, env=case.env, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        seconds = time.perf_counter() - started
    if r.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} exited {r.returncode}")
    return seconds


def check_gone(case, state):
    """After a run of the tool: all three targets are gone (asked of Wine and the file system)."""
    left = case.remaining(look_alikes=False)
    left = [name for name in ("service velkor", "key velkor", "file velkor.sys") if left[name]]
    if left:
        raise RuntimeError(f"{state}: the tool left {', '.join(left)}")


def series(case, commands, state, pairs):
    """Warm-up runs, then `pairs` rounds of tool and bare, then floor and batch, each in turn first.
    Returns ({name: [seconds]}, [tool/bare of each pair])."""
    def run(name):
        plant(case, state == "installed" and name != "floor")
        argv, stdin_path = commands[name]
        return timed(case, argv, stdin_path)

    for _ in range(WARMUP):
        for name in commands:
            run(name)
    plant(case, state == "installed")
    if state == "key alone" and case.wine(["sc", "query", "velkor"]).returncode == 0:
        raise RuntimeError("key alone: a velkor service is registered")
    timed(case, *commands["tool"])
    check_gone(case, state)

    times = {name: [] for name in commands}
    ratios = []
    for i in range(pairs):
        seconds = {}
        for first, second in (("tool", "bare"), ("floor", "batch")):
            for name in (first, second) if i % 2 == 0 else (second, first):
                seconds[name] = run(name)
                times[name].append(seconds[name])
        ratios.append(seconds["tool"] / seconds["bare"])
    return times, ratios


def describe(exe):
    """The exe's size, sections and imports, as lines to print."""
    lines = [f"{os.path.relpath(exe, ROOT) if exe.startswith(ROOT) else exe}: {os.path.getsize(exe)} bytes"]
    headers = subprocess.run(["i686-w64-mingw32-objdump", "-h", exe], capture_output=True, text=True).stdout
    for line in headers.splitlines():
        fields = line.split()
        if len(fields) >= 3 and fields[0].isdigit():
            lines.append(f"  section {fields[1]:8} {int(fields[2], 16):6} bytes")
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True).stdout
    # Each DLL's imported functions follow its "DLL Name:" line, one "address hint name" a line.
    imports, dll = {}, None
    for line in dump.splitlines():
        if "DLL Name:" in line:
            dll = line.split()[-1]
            imports[dll] = []
        elif dll and re.match(r"^\s+[0-9a-f]+\s+\d+\s+\S+$", line):
            imports[dll].append(line.split()[-1])
        elif not line.strip():
            dll = None
    lines.append("  imports: " + ", ".join(imports))
    lines += [f"  {dll} ({len(names)}): {' '.join(sorted(names))}" for dll, names in imports.items()]
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pairs", type=int, default=PAIRS, help=f"pairs of runs per state (default {PAIRS})")
    parser.add_argument("--exe", help="the tool to time (default: the build this machine runs)")
    parser.add_argument("--describe", action="store_true",
                        help="only print the exe's size, sections and imports (default exe: the shipped one)")
    args = parser.parse_args()
    if args.describe:
        shipped_exe = os.path.join(ROOT, "build", "windows", "velkor-remover.exe")
        print("\n".join(describe(os.path.abspath(args.exe or shipped_exe))))
        return 0
    if args.pairs < 2:
        parser.error("--pairs must be at least 2")

    workdir = tempfile.mkdtemp(prefix="velkor-bench-")
    configuration, not_run = configurations.preferred()
    for name, reason in not_run.items():
        print(f"benchmark: the shipped exe cannot run here as {name}: {reason}")
    machine = winemachine.WineMachine(workdir, os.path.join(ROOT, "build", "e2e"), configuration)
    shipped = configuration.shipped_exe
    # The comparison programs are built like the exe they are compared with.
    cross = "i686-w64-mingw32" if shipped else "x86_64-w64-mingw32"
    tool = os.path.abspath(args.exe or os.path.join(ROOT, "build", "windows" if shipped else "windows64",
                                                    "velkor-remover.exe"))
    # Described now, before a rebuild during the run could change it.
    exe_lines = describe(tool if args.exe else os.path.join(ROOT, "build", "windows", "velkor-remover.exe"))
    started = time.monotonic()
    results = {}
    case = None
    try:
        machine.make_template()
        # Everything from the case's server on runs on one CPU. Spread over two, each of the many
        # requests a Wine process makes to its server may have to wake the other CPU first; on a
        # virtual machine that costs so much that one and the same run took 17 or 65 ms depending
        # on where the scheduler put the two, and how long the CPUs had been idle before it.
        os.sched_setaffinity(0, {max(os.sched_getaffinity(0))})
        case = machine.new_case("bench")
        bench_dir = case.unix_path("drive_c/bench")
        os.makedirs(bench_dir)
        built = {}
        for name in ("nothing", "bare"):
            built[name] = os.path.join(bench_dir, name + ".exe")
            subprocess.run([f"{cross}-gcc-win32", "-O2", "-s", "-static", os.path.join(ROOT, "bench", name + ".c"),
                            "-o", built[name], "-lshlwapi"], check=True)
        shutil.copy(os.path.join(ROOT, "bench", "remove-velkor.bat"), bench_dir)
        with open(os.path.join(bench_dir, "velkor-key.reg"), "w", newline="\r\n") as f:
            f.write(planting.FULL_KEY_REG)
        answer = os.path.join(bench_dir, "y.txt")
        with open(answer, "wb") as f:
            f.write(b"y\n")

        # A copy beside the comparison programs: a rebuild during the run does not change it.
        timed_tool = os.path.join(bench_dir, "velkor-remover.exe")
        shutil.copy(tool, timed_tool)

        wine = case.exe_loader
        commands = {
            "tool": ([wine, timed_tool], answer),
            "bare": ([wine, built["bare"]], os.devnull),
            "floor": ([wine, built["nothing"]], os.devnull),
            # The batch file runs in the prefix's own cmd, as an administrator's would.
            "batch": ([case.tool_loader, "cmd", "/c", r"C:\bench\remove-velkor.bat"], os.devnull),
        }
        for state in STATES:
            results[state] = series(case, commands, state, args.pairs)
    finally:
        if case is not None:
            case.close()
        machine.close()
        shutil.rmtree(workdir, ignore_errors=True)

    print(f"\nWine {configuration.name} ({configuration.loader}, {configuration.arch} prefix), on one CPU; "
          f"tool: {os.path.relpath(tool, ROOT) if tool.startswith(ROOT) else tool}")
    print(f"Per state: {WARMUP} warm-up rounds, then {args.pairs} rounds of tool and bare in a pair, then floor "
          "and batch,\neach of two first in every other round; velkor planted before every run (not timed). "
          f"Took {time.monotonic() - started:.0f} s.")
    for state, (times, ratios) in results.items():
        q1, q2, q3 = statistics.quantiles(ratios, n=4)
        medians = {name: statistics.median(seconds) for name, seconds in times.items()}
        print(f"\n{state} ({STATES[state]}):")
        print(f"  tool / bare: median {q2:.2f} (IQR {q1:.2f}–{q3:.2f}), {len(ratios)} pairs")
        print("  medians: " + ", ".join(f"{name} {seconds * 1000:.1f} ms" for name, seconds in medians.items()))
        print(f"  tool / floor {medians['tool'] / medians['floor']:.2f}, "
              f"batch / tool {medians['batch'] / medians['tool']:.2f} (of the medians)")
    print()
    print("\n".join(exe_lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
