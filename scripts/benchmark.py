#!/usr/bin/env python3
"""Times the tool against Wine's bare process start (a do-nothing exe), against a bare C program
making the same platform calls, and against the batch file an administrator would write, under one
warm Wine server, with velkor planted again before every timed run.

    python3 scripts/benchmark.py            # needs the builds: bash scripts/build.sh
    python3 scripts/benchmark.py plant PREFIX ARCH   # (used by hyperfine between runs)

It runs the shipped 32-bit exe wherever this machine can (as on 64-bit Windows where it can),
else the x86-64 build of the same sources, and says which.

Prints the medians, the ratios tool/floor, tool/bare and batch/tool, and the exe's size, sections
and imports.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import configurations  # noqa: E402
import planting  # noqa: E402
import winemachine  # noqa: E402

RUNS = 30


def plant(prefix, arch):
    """Installs velkor again on a prefix whose server is running (not timed)."""
    env = winemachine.wine_env(prefix, arch)
    wine = winemachine.loader_for(env)
    quiet = dict(env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    driver = os.path.join(prefix, planting.DRIVER_REL)
    if os.path.exists(driver):
        os.chmod(driver, 0o644)
        os.unlink(driver)
    with open(driver, "wb") as f:
        f.write(b"MZ" + b"\0" * 1022)
    os.chmod(driver, 0o444)
    subprocess.run([wine, "sc", "create", "velkor", "binPath=", planting.DRIVER_WIN, "type=", "kernel"], **quiet)
    subprocess.run([wine, "reg", "import", r"C:\bench\velkor-key.reg"], **quiet)


def median_seconds(result):
    return sorted(result["times"])[len(result["times"]) // 2]


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "plant":
        plant(sys.argv[2], sys.argv[3])
        return 0

    workdir = tempfile.mkdtemp(prefix="velkor-bench-")
    configuration, not_run = configurations.preferred()
    for name, reason in not_run.items():
        print(f"benchmark: the shipped exe cannot run here as {name}: {reason}")
    machine = winemachine.WineMachine(workdir, os.path.join(ROOT, "build", "e2e"), configuration)
    shipped = configuration.shipped_exe
    # The comparison programs are built like the exe they are compared with.
    cross = "i686-w64-mingw32" if shipped else "x86_64-w64-mingw32"
    tool = os.path.join(ROOT, "build", "windows" if shipped else "windows64", "velkor-remover.exe")
    product = os.path.join(ROOT, "build", "windows", "velkor-remover.exe")
    case = None
    try:
        machine.make_template()
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
        with open(os.path.join(bench_dir, "y.txt"), "wb") as f:
            f.write(b"y\n")

        wine = case.exe_loader
        prepare = f"python3 {os.path.abspath(__file__)} plant {case.prefix} {machine.arch}"
        commands = {
            "floor": f"{wine} {built['nothing']}",
            "bare": f"{wine} {built['bare']}",
            "tool": f"{wine} {tool} < {os.path.join(bench_dir, 'y.txt')}",
            # The batch file runs in the prefix's own cmd, as an administrator's would.
            "batch": f"{case.tool_loader} cmd /c C:\\\\bench\\\\remove-velkor.bat",
        }
        export = os.path.join(workdir, "hyperfine.json")
        arguments = ["hyperfine", "--runs", str(RUNS), "--warmup", "3", "--prepare", prepare, "--export-json", export,
                     "--style", "basic", "--output", "null"]
        for name, command in commands.items():
            arguments += ["--command-name", name, command]
        subprocess.run(arguments, env=case.env, check=True)
        with open(export) as f:
            medians = {r["command"]: median_seconds(r) for r in json.load(f)["results"]}
    finally:
        if case is not None:
            case.close()
        machine.close()
        shutil.rmtree(workdir, ignore_errors=True)

    print(f"\nWine {configuration.name} ({configuration.loader}, {configuration.arch} prefix), {RUNS} runs each, "
          "velkor planted before every run (not timed)")
    for name, seconds in medians.items():
        print(f"  median {name:5}: {seconds * 1000:7.1f} ms")
    print(f"  tool / floor : {medians['tool'] / medians['floor']:.2f}")
    print(f"  bare / floor : {medians['bare'] / medians['floor']:.2f}")
    print(f"  tool / bare  : {medians['tool'] / medians['bare']:.2f}")
    print(f"  batch / tool : {medians['batch'] / medians['tool']:.2f}")
    print(f"\n{os.path.relpath(product, ROOT)}: {os.path.getsize(product)} bytes")
    headers = subprocess.run(["i686-w64-mingw32-objdump", "-h", product], capture_output=True, text=True).stdout
    for line in headers.splitlines():
        fields = line.split()
        if len(fields) >= 3 and fields[0].isdigit():
            print(f"  section {fields[1]:8} {int(fields[2], 16):6} bytes")
    imports = subprocess.run(["i686-w64-mingw32-objdump", "-p", product], capture_output=True, text=True).stdout
    print("  imports: " + ", ".join(line.split()[-1] for line in imports.splitlines() if "DLL Name:" in line))
    return 0


if __name__ == "__main__":
    sys.exit(main())
