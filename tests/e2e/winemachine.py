"""Wine prefixes and their servers for end-to-end runs of velkor-remover.exe.

One template prefix per configuration and suite run; each case gets a fresh copy with its own
persistent wineserver, plants what it needs (planting.py), runs the exe, and then checks what is
left, both by asking Wine and by reading the prefix on disk (snapshot.py).

Usage:
    machine = WineMachine(tmpdir, builddir, CONFIGURATIONS["wow64"]); machine.make_template()
    case = machine.new_case("stopped"); case.plant(service="stopped", driver="plain", key="full")
    result = case.run(exe, b"y\\n\\n"); left = case.remaining(); changes = case.finish()

Only the Python standard library is used.
"""

import os
import re
import shutil
import subprocess
import tempfile
import threading
import time

import planting
from configurations import WINE_LIB
from planting import (DRIVER_REL, LOOK_ALIKE_KEYS, LOOK_ALIKE_SERVICE, SERVICE, SERVICE_KEY, SERVICE_KEY_HKLM,
                      WineError)
from snapshot import HIVES, diff_snapshots, multi_string, snapshot, stored_name

# On Windows CurrentControlSet is a registry link to ControlSet001; Wine 8 makes it an ordinary
# key. The templates are made like Windows (link_current_control_set).
CONTROL_SET = "\\Registry\\Machine\\System\\ControlSet001"


def wine_env(prefix, arch):
    env = dict(os.environ)
    for var in ("DISPLAY", "WAYLAND_DISPLAY", "WINESERVER", "WINELOADER"):
        env.pop(var, None)
    env["WINEPREFIX"] = prefix
    env["WINEARCH"] = arch
    env["WINEDEBUG"] = "-all"
    # No Mono or Gecko: there is no network, and console programs need neither.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    env["PATH"] = WINE_LIB + os.pathsep + env.get("PATH", "")
    return env


def loader_for(env):
    """The loader of a prefix's own programs (wineboot, sc, reg, attrib, the helpers)."""
    return "wine64" if env["WINEARCH"] == "win64" else "wine"


def _quiet(argv, env, timeout, check=False):
    return subprocess.run(argv, env=env, timeout=timeout, check=check,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def start_server(env):
    """Start a persistent wineserver and let it bring up services.exe.

    The first Wine program of a server starts services.exe and friends, which
    inherit its standard streams; they must not inherit a pipe of ours."""
    _quiet(["wineserver", "-p"], env, 30, check=True)
    _quiet([loader_for(env), "cmd", "/c", "exit"], env, 60)


def stop_server(env):
    """End the server and every Wine process of the prefix; hives are on disk after this."""
    _quiet(["wineserver", "-k"], env, 60)
    _quiet(["wineserver", "-w"], env, 60)


def _hex_value(name, type_, data):
    """A value line as the server writes it: hex bytes, lines broken after 76 characters."""
    text = '"%s"=hex(%x):' % (name, type_)
    count = len(text)
    for index, byte in enumerate(data):
        text += "%02x" % byte
        count += 2
        if index < len(data) - 1:
            text += ","
            count += 1
            if count > 76:
                text += "\\\n  "
                count = 2
    return text


def link_current_control_set(prefix):
    """With the prefix's server ended: in system.reg, move CurrentControlSet's keys to
    ControlSet001 and make CurrentControlSet a link to it, written as the server writes a link."""
    path = os.path.join(prefix, "system.reg")
    with open(path, encoding="utf-8", errors="surrogateescape", newline="") as f:
        text = f.read()
    if re.search(r"^\[System\\\\ControlSet001[\\\]]", text, re.M | re.I):
        raise WineError("system.reg has a ControlSet001 already")
    text, count = re.subn(r"^\[System\\\\CurrentControlSet(?=[\\\]])", lambda m: "[System\\\\ControlSet001",
                          text, flags=re.M | re.I)
    if not count:
        raise WineError("system.reg has no CurrentControlSet")
    now = time.time()
    text += "\n[System\\\\CurrentControlSet] %d\n#time=%x\n#link\n%s\n" % (
        now, int((now + 11644473600) * 10000000), _hex_value("SymbolicLinkValue", 6, CONTROL_SET.encode("utf-16-le")))
    with open(path, "w", encoding="utf-8", errors="surrogateescape", newline="") as f:
        f.write(text)


def _wine(env, args, timeout=60):
    return subprocess.run([loader_for(env)] + list(args), env=env, timeout=timeout,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def _wine_ok(env, args, timeout=60):
    r = _wine(env, args, timeout)
    if r.returncode != 0:
        raise WineError("%s failed (%d): %s" % (" ".join(args), r.returncode,
                                                r.stdout.decode(errors="replace")))
    return r


# ---------------------------------------------------------------- running

class RunResult:
    def __init__(self, status, stdout, stderr, timed_out, seconds):
        self.status = status          # exit status, None if it had to be killed
        self.stdout = stdout          # exact bytes
        self.stderr = stderr
        self.timed_out = timed_out
        self.seconds = seconds

    def __repr__(self):
        return "RunResult(status=%r, timed_out=%r, stdout=%r)" % (self.status, self.timed_out, self.stdout)


class OpenStdinRun:
    """A run whose stdin is a pipe we keep open, to tell a finished run from
    one that is waiting for more input."""

    def __init__(self, argv, env, stderr_path):
        self._stderr = open(stderr_path, "wb")
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self._stderr)
        self._chunks = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            data = self.proc.stdout.read1(65536)
            if not data:
                return
            self._chunks.append(data)

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def wait(self, timeout):
        """Exit status, or None if still running after timeout seconds."""
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def close_stdin(self):
        if not self.proc.stdin.closed:
            try:
                self.proc.stdin.close()
            except BrokenPipeError:  # the run has ended; nothing was left to write
                pass

    def stdout(self):
        """Bytes written so far (all of them once the run has ended)."""
        if self.proc.poll() is not None:
            self._reader.join(timeout=5)
        return b"".join(self._chunks)

    def kill(self):
        """End it if still running, and clean up."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        self.close_stdin()
        self._reader.join(timeout=5)
        self._stderr.close()
        if os.path.exists(self._stderr.name):
            os.unlink(self._stderr.name)


class WineMachine:
    def __init__(self, workdir, build_dir, configuration):
        """workdir: a temp dir for the template and the cases; build_dir: where helper programs
        are compiled; configuration: a configurations.Configuration, which says the prefix's
        architecture and the loader that runs the exe."""
        self.workdir = os.path.abspath(workdir)
        self.build_dir = os.path.abspath(build_dir)
        self.configuration = configuration
        self.arch = configuration.arch
        self.template = os.path.join(self.workdir, "template-" + configuration.name)
        self.template_snapshot = None
        self.template_seconds = None
        self._count = 0

    def make_template(self):
        """Create, populate with look-alikes and helpers, and snapshot the template."""
        started = time.monotonic()
        if os.path.exists(self.template):
            raise WineError("template already exists: " + self.template)
        helpers = planting.build_helpers(self.build_dir, self.arch)
        os.makedirs(self.workdir, exist_ok=True)
        env = wine_env(self.template, self.arch)
        self._boot(env)
        link_current_control_set(self.template)
        planting.install_helpers(self.template, helpers)
        planting.write_look_alike_files(self.template, self.arch)
        start_server(env)
        try:
            planting.plant_look_alikes(_TemplateCase(self.template, env))
        finally:
            stop_server(env)
        self.template_snapshot = snapshot(self.template)
        self.template_seconds = time.monotonic() - started
        return self.template

    def _boot(self, env):
        # Once, in a clean-clone run, wineboot exited 53 and the next run was fine; so it gets a
        # second try, and a failure says what Wine printed. Its stderr goes to a file: the services
        # it starts inherit it and would hold a pipe open.
        log_path = os.path.join(self.workdir, "wineboot-%s.log" % self.configuration.name)
        for attempt in (1, 2):
            with open(log_path, "w+b") as log:
                r = subprocess.run([loader_for(env), "wineboot", "-i"], env=env, timeout=300,
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log)
                _quiet(["wineserver", "-w"], env, 300)
                log.seek(0)
                output = log.read()[-2000:].decode(errors="replace")
            if r.returncode == 0 and os.path.isdir(os.path.join(self.template, "drive_c/windows/system32")):
                return
            print("wine: wineboot failed (%d), attempt %d:\n%s" % (r.returncode, attempt, output), flush=True)
            stop_server(env)
            shutil.rmtree(self.template, ignore_errors=True)
        raise WineError("wineboot failed (%d)" % r.returncode)

    def new_case(self, name):
        """A fresh copy of the template with its own warm server."""
        self._count += 1
        prefix = os.path.join(self.workdir, "%s-case%03d-%s" % (self.configuration.name, self._count, name))
        return WineCase(self, prefix)

    def close(self):
        """Remove the template and the server directory it named."""
        marker = os.path.join(self.template, "wineserver")
        server_dir = None
        if os.path.exists(marker):
            with open(marker) as f:
                server_dir = os.path.join(tempfile.gettempdir(), f.read().strip())
        shutil.rmtree(self.template, ignore_errors=True)
        if server_dir and os.path.basename(server_dir).startswith("wine-"):
            shutil.rmtree(server_dir, ignore_errors=True)


class _TemplateCase:
    """What planting needs of a prefix, for the template itself."""

    def __init__(self, prefix, env):
        self.prefix, self.env = prefix, env
        self.tool_loader = loader_for(env)

    def unix_path(self, rel):
        return os.path.join(self.prefix, rel)

    def wine(self, args, timeout=60):
        """Run one of the prefix's own programs (sc, reg, attrib, a helper) to completion."""
        return _wine(self.env, args, timeout)

    def wine_ok(self, args, timeout=60):
        return _wine_ok(self.env, args, timeout)


class WineCase(_TemplateCase):
    def __init__(self, machine, prefix):
        super().__init__(prefix, wine_env(prefix, machine.arch))
        self.machine = machine
        self.arch = machine.arch
        self.exe_loader = machine.configuration.loader
        self.holders = []
        self.open_runs = []
        self.runs = []
        self.after = None
        self._copy_template()
        self._server_up = True
        start_server(self.env)

    def _copy_template(self):
        t = self.machine.template
        subprocess.run(["cp", "-al", t, self.prefix], check=True, timeout=120)
        # Files a case may write in place get their own copies: the hives
        # (wineserver rewrites them) and the look-alikes (a faulty tool might
        # change their attributes, which a hard link would pass on).
        for rel in HIVES + tuple(planting.look_alike_files(self.machine.arch).values()):
            dst = os.path.join(self.prefix, rel)
            os.unlink(dst)
            shutil.copy2(os.path.join(t, rel), dst)  # keeps mode and xattrs

    def plant(self, service=None, driver=None, key=None, filters=None):
        """See planting.plant; the helpers that hold things open are released by stop()."""
        self.holders += planting.plant(self, service=service, driver=driver, key=key, filters=filters)

    # ------------------------------------------------------------ running

    def _stderr_path(self):
        return os.path.join(self.machine.workdir, os.path.basename(self.prefix) + ".stderr%d" % len(self.runs))

    def run(self, exe, stdin=b"", timeout=30):
        """Run exe with these stdin bytes (then end of file); exact stdout."""
        err_path = self._stderr_path()
        self.runs.append(exe)
        started = time.monotonic()
        with open(err_path, "w+b") as err:
            proc = subprocess.Popen([self.exe_loader, exe], env=self.env, stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=err)
            try:
                out, _ = proc.communicate(stdin, timeout=timeout)
                timed_out = False
            except subprocess.TimeoutExpired:
                proc.kill()
                out, _ = proc.communicate()
                timed_out = True
            err.seek(0)
            err_bytes = err.read()
        os.unlink(err_path)
        return RunResult(None if timed_out else proc.returncode, out, err_bytes, timed_out,
                         time.monotonic() - started)

    def start_open_stdin(self, exe, first=b""):
        """Start exe with a stdin pipe that stays open; send `first` at once."""
        err_path = self._stderr_path()
        self.runs.append(exe)
        run = OpenStdinRun([self.exe_loader, exe], self.env, err_path)
        self.open_runs.append(run)
        if first:
            run.send(first)
        return run

    # ------------------------------------------------------------ checking

    def remaining(self, look_alikes=True):
        """Which targets (and look-alikes) still exist, asked of Wine (services via sc query,
        keys via reg query) and of the Unix file system (files); the tool's messages are not
        used. finish() also catches a lost look-alike, so look_alikes=False saves about half of
        this call's time."""
        queries = {
            "service velkor": ["sc", "query", SERVICE],
            "key velkor": ["reg", "query", SERVICE_KEY_HKLM],
        }
        if look_alikes:
            queries["service velkor2"] = ["sc", "query", LOOK_ALIKE_SERVICE]
            for name, key in LOOK_ALIKE_KEYS.items():
                queries[name] = ["reg", "query", key]
        procs = {name: subprocess.Popen([self.tool_loader] + args, env=self.env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
                 for name, args in queries.items()}
        found = {}
        for name, p in procs.items():
            out, _ = p.communicate(timeout=60)
            if p.returncode not in (0, 1):
                raise WineError("%s: exit %d: %r" % (" ".join(queries[name]), p.returncode, out))
            found[name] = p.returncode == 0
        # A look-alike can only be lost, never come back: one that reads as missing is asked again
        # alone. Once, in a chroot, "sc query velkor2" among these parallel queries answered
        # "missing" for a service the saved hive still held.
        for name, args in queries.items():
            if name not in ("service velkor", "key velkor") and not found[name] and self.wine(args).returncode == 0:
                print("note: %s: missing among parallel queries, present when asked alone" % name)
                found[name] = True
        driver = self.unix_path(DRIVER_REL)
        # A directory in the file's place counts as remaining only with what was planted in it.
        found["file velkor.sys"] = (os.path.exists(os.path.join(driver, planting.DIRECTORY_CONTENT))
                                    if os.path.isdir(driver) else os.path.lexists(driver))
        if look_alikes:
            for name, rel in planting.look_alike_files(self.arch).items():
                found[name] = os.path.exists(self.unix_path(rel))
        return found

    def stop(self):
        """Release helpers and end the server, so the hives are on disk."""
        for run in self.open_runs:
            run.kill()
        self.open_runs = []
        if self._server_up:
            for h in self.holders:
                h.proc.stdin.close()
            stop_server(self.env)
            for h in self.holders:
                h.proc.wait(timeout=10)
            self.holders = []
            self._server_up = False

    def restart(self):
        """Shut the machine down, as a restart does (every process of the prefix ends: helpers,
        loaded drivers), and boot it again: wineboot -r carries out the file operations pending
        for the boot."""
        self.stop()
        _quiet(["wineserver", "-p"], self.env, 30, check=True)
        _quiet([loader_for(self.env), "wineboot", "-r"], self.env, 120, check=True)
        self._server_up = True

    def finish(self, filters_remain=False):
        """Stop, snapshot, and list every change outside the three targets. The targets are
        left out on both sides: whether they are gone is asked separately (remaining()), and
        how they were planted is per case. With filters_remain, so are the class filter values
        that plant(filters="listed") wrote: saved_filters() tells what they hold."""
        self.stop()
        self.after = snapshot(self.prefix)
        skip_values = [(stored_name(key), ('"%s"=' % name,)) for key, name in planting.LISTED_FILTERS]
        return diff_snapshots(self.machine.template_snapshot, self.after,
                              skip_keys=(stored_name(SERVICE_KEY),), skip_files=(DRIVER_REL,),
                              skip_values=skip_values if filters_remain else ())

    def saved_keys(self):
        """After finish(): which service keys the saved system hive holds; a
        second witness besides reg query, read from disk."""
        hive = self.after["registry"]["system.reg"]
        names = {"key velkor": SERVICE_KEY}
        for name, key in LOOK_ALIKE_KEYS.items():
            names[name] = key.split("\\", 1)[1]
        return {label: stored_name(key).lower() in hive for label, key in names.items()}

    def saved_filters(self):
        """After finish(): {(class key, value): data as planting.multi_text writes it} of the class
        filter values that the template or plant() write, those the saved system hive holds."""
        hive = self.after["registry"]["system.reg"]
        found = {}
        for key, name in set(planting.CLASS_FILTERS) | set(planting.LISTED_FILTERS):
            data = multi_string(hive, stored_name(key), name)
            if data is not None:
                found[(key, name)] = data
        return found

    def close(self):
        self.stop()
        shutil.rmtree(self.prefix, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
