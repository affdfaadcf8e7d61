"""Wine prefixes for end-to-end runs of velkor-remover.exe.

One template prefix per suite run; each case gets a fresh copy with its own
persistent wineserver, plants the service/driver file/registry key it needs,
runs the exe, and then checks what is left, both by asking Wine and by
reading the prefix on disk.

Usage:
    machine = WineMachine(tmpdir, builddir); machine.make_template()
    case = machine.new_case("stopped"); case.plant(service="stopped", driver="plain", key="full")
    result = case.run(exe, b"y\\n\\n"); left = case.remaining(); changes = case.finish()

Only the Python standard library is used.
"""

import os
import shutil
import subprocess
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
HELPER_SOURCES = os.path.join(HERE, "helpers")
HELPERS = ("holdservice", "lockfile", "denykey", "nostopsvc")
DRIVER_IMAGE = "driverimage"

WINE_LIB = "/usr/lib/wine"

SERVICE = "velkor"
SERVICE_KEY = r"SYSTEM\CurrentControlSet\Services\velkor"
SERVICE_KEY_HKLM = "HKLM\\" + SERVICE_KEY
DRIVER_WIN = r"C:\windows\system32\velkor.sys"
DRIVER_REL = "drive_c/windows/system32/velkor.sys"
# Inside the prefix, so service image paths and helper paths have no spaces.
HELPER_DIR_WIN = r"C:\e2e-helpers"
HELPER_DIR_REL = "drive_c/e2e-helpers"

# Look-alikes that the tool must leave alone, present in every case.
DECOY_SERVICE = "velkor2"
DECOY_KEYS = (r"HKLM\SYSTEM\CurrentControlSet\Services\velkor2",
              r"HKLM\SYSTEM\CurrentControlSet\Services\velkorx")
DECOY_FILES = ("drive_c/windows/system32/drivers/velkor.sys",
               "drive_c/windows/system32/velkor.sys.bak")

SERVICE_STATES = (None, "stopped", "running-refuses-stop", "held-open", "marked", "running-driver")
DRIVER_STATES = (None, "plain", "readonly-hidden-system", "locked", "directory", "running-image")
KEY_STATES = (None, "full", "deny-subkey")
DENIED_SUBKEY = SERVICE_KEY + r"\Parameters"

# Values and nested subkeys added to the service's key. The service manager
# writes Type/Start/ErrorControl/ImagePath itself.
FULL_KEY_REG = r"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\velkor]
"DisplayName"="velkor"
"Group"="Filter"
"Tag"=dword:00000007
"Blob"=hex:de,ad,be,ef

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\velkor\Enum]
"0"="Root\\LEGACY_VELKOR\\0000"
"Count"=dword:00000001
"NextInstance"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\velkor\Parameters]
"Mode"=dword:00000002

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\velkor\Parameters\Deep]
"Level"="deep"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\velkor\Parameters\Deep\Deeper]
"Level"="deeper"
"""

# A key that is no service and shares the target's prefix.
DECOY_KEY_REG = r"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\velkorx]
"ImagePath"="system32\\velkor.sys"
"Start"=dword:00000003

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\velkorx\Parameters]
"Mode"=dword:00000002
"""


class WineError(RuntimeError):
    """Wine or a helper did not do what planting or checking needed."""


def can_run_32bit():
    """True where this kernel executes 32-bit ELF, so 32-bit Wine works."""
    try:
        r = subprocess.run(["/lib/ld-linux.so.2", "--version"],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=10)
    except OSError:
        return False
    return r.returncode == 0 and os.access(os.path.join(WINE_LIB, "wine"), os.X_OK)


def build_helpers(build_dir, arch="win64"):
    """Compile the helper programs into build_dir; returns {name: path}."""
    cc = "x86_64-w64-mingw32-gcc-win32" if arch == "win64" else "i686-w64-mingw32-gcc-win32"
    # A native-subsystem image with no C runtime; 32-bit symbols carry stdcall decoration.
    driver_flags = ["-shared", "-nostdlib", "-Wl,--subsystem,native",
                    "-Wl,--entry," + ("DriverEntry" if arch == "win64" else "_DriverEntry@8")]
    os.makedirs(build_dir, exist_ok=True)
    built = {}
    for name in HELPERS + (DRIVER_IMAGE,):
        src = os.path.join(HELPER_SOURCES, name + ".c")
        if name == DRIVER_IMAGE:
            out = os.path.join(build_dir, name + ".sys")
            cmd = [cc, "-O2", "-s", "-Wall"] + driver_flags + [src, "-o", out]
        else:
            out = os.path.join(build_dir, name + ".exe")
            cmd = [cc, "-static", "-O2", "-s", "-Wall", src, "-o", out, "-ladvapi32"]
        if not os.path.exists(out) or os.path.getmtime(out) < os.path.getmtime(src):
            r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
            if r.returncode != 0:
                raise WineError("building %s failed:\n%s" % (name, r.stdout.decode(errors="replace")))
        built[name] = out
    return built


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


def start_server(env):
    """Start a persistent wineserver and let it bring up services.exe.

    The first Wine program of a server starts services.exe and friends, which
    inherit its standard streams; they must not inherit a pipe of ours."""
    subprocess.run(["wineserver", "-p"], env=env, check=True, timeout=30,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([loader_for(env), "cmd", "/c", "exit"], env=env, timeout=60,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def stop_server(env):
    """End the server and every Wine process of the prefix; hives are on disk after this."""
    subprocess.run(["wineserver", "-k"], env=env, timeout=60,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, timeout=60,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def loader_for(env):
    return "wine64" if env["WINEARCH"] == "win64" else "wine"


# ---------------------------------------------------------------- snapshots

HIVES = ("system.reg", "user.reg", "userdef.reg")

# Left out of the registry comparison, because Wine rewrites them at every
# server start on its own (found by diffing cases that answer "n"):
#  - the "[key] 1234" stamp and "#time=" line of every key (last-write times);
#  - DriverDate and DriverDateData of the display adapter's class key, which
#    the display driver sets to the current date whenever the desktop starts.
IGNORED_VALUES = (
    (r"System\CurrentControlSet\Control\Class\{4D36E968-E325-11CE-BFC1-08002BE10318}\0000",
     ('"DriverDate"=', '"DriverDateData"=')),
)
# Per file-tree entry: kind, size (files only), permission bits, extended
# attributes (Wine keeps hidden/system there), link target. Times are left
# out: Wine touches files it merely opens. Directory sizes are left out: ext4
# never shrinks a directory, so they record history, not content. The hives
# are compared by content above.
IGNORED_FILES = ("system.reg", "user.reg", "userdef.reg")


def _parse_hive(path):
    """{lowercased key name: (key name, sorted value lines)} of a Wine .reg file."""
    keys = {}
    name = None
    lines = []
    pending = ""
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if pending:
                line = pending + line.lstrip()
                pending = ""
            if line.endswith("\\") and name is not None and not line.startswith("["):
                pending = line[:-1]
                continue
            if line.startswith("["):
                if name is not None:
                    keys[name.lower()] = (name, tuple(sorted(lines)))
                end = line.rfind("]")
                name = line[1:end].replace("\\\\", "\\")
                lines = []
            elif name is None or not line or line.startswith("#time="):
                continue
            elif not _ignored_value(name, line):
                lines.append(line)
    if name is not None:
        keys[name.lower()] = (name, tuple(sorted(lines)))
    return keys


def _ignored_value(key, line):
    for k, starts in IGNORED_VALUES:
        if key.lower() == k.lower() and line.startswith(starts):
            return True
    return False


def _file_tree(prefix):
    tree = {}
    for top, dirs, files in os.walk(prefix):
        dirs.sort()
        for entry in dirs + sorted(files):
            full = os.path.join(top, entry)
            rel = os.path.relpath(full, prefix)
            if rel in IGNORED_FILES:
                continue
            st = os.lstat(full)
            if os.path.islink(full):
                tree[rel] = ("link", os.readlink(full))
                continue
            try:
                xattrs = tuple(sorted((n, os.getxattr(full, n, follow_symlinks=False))
                                      for n in os.listxattr(full, follow_symlinks=False)))
            except OSError:
                xattrs = ()
            if os.path.isdir(full):
                tree[rel] = ("dir", oct(st.st_mode & 0o7777), xattrs)
            else:
                tree[rel] = ("file", st.st_size, oct(st.st_mode & 0o7777), xattrs)
    return tree


def snapshot(prefix):
    """Registry hives and file tree of a prefix whose server has exited."""
    return {
        "registry": {h: _parse_hive(os.path.join(prefix, h)) for h in HIVES},
        "files": _file_tree(prefix),
    }


def _under(name, root):
    name, root = name.lower(), root.lower()
    return name == root or name.startswith(root + "\\") or name.startswith(root + "/")


def diff_snapshots(before, after,
                   skip_keys=(SERVICE_KEY,), skip_files=(DRIVER_REL,)):
    """Differences outside the targets, as readable lines; [] when none.

    The targets themselves are left out on both sides: whether they are gone
    is asked separately (remaining()), and how they were planted is per case."""
    out = []
    for hive in HIVES:
        b = before["registry"][hive]
        a = after["registry"][hive]
        for k in sorted(set(b) | set(a)):
            name = (b.get(k) or a.get(k))[0]
            if any(_under(name, s) for s in skip_keys):
                continue
            if k not in a:
                out.append("%s: key removed: %s" % (hive, name))
            elif k not in b:
                out.append("%s: key added: %s" % (hive, name))
            elif b[k][1] != a[k][1]:
                gone = sorted(set(b[k][1]) - set(a[k][1]))
                new = sorted(set(a[k][1]) - set(b[k][1]))
                out.append("%s: key changed: %s: -%r +%r" % (hive, name, gone, new))
    bf, af = before["files"], after["files"]
    for rel in sorted(set(bf) | set(af)):
        if any(_under(rel, s) for s in skip_files):
            continue
        if rel not in af:
            out.append("file removed: %s" % rel)
        elif rel not in bf:
            out.append("file added: %s" % rel)
        elif bf[rel] != af[rel]:
            out.append("file changed: %s: %r -> %r" % (rel, bf[rel], af[rel]))
    return out


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


class Holder:
    """A helper that keeps something open until its stdin is closed."""

    def __init__(self, argv, env, what):
        self.what = what
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline()
        if line.strip() != b"ready":
            self.proc.kill()
            self.proc.wait()
            raise WineError("%s: helper said %r" % (what, line))

    def release(self, timeout=20):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise WineError("%s: helper did not end" % self.what)


class WineMachine:
    def __init__(self, workdir, build_dir, arch=None):
        """workdir: a temp dir for the template and the cases; build_dir: where
        helper programs are compiled.

        arch None picks "win32" (32-bit Wine, the real 32-bit exe) where the
        kernel runs 32-bit ELF, else "win64" (a 64-bit build of the same
        sources). The kernels of this project's machines refuse 32-bit ELF, so
        the win32 branch has never run: it differs only in the loader's and
        the compiler's names. Pass the exe that matches self.arch."""
        self.workdir = os.path.abspath(workdir)
        self.build_dir = os.path.abspath(build_dir)
        self.arch = arch or ("win32" if can_run_32bit() else "win64")
        self.template = os.path.join(self.workdir, "template")
        self.template_snapshot = None
        self.template_seconds = None
        self._count = 0

    def make_template(self):
        """Create, populate with decoys and helpers, and snapshot the template."""
        started = time.monotonic()
        if os.path.exists(self.template):
            raise WineError("template already exists: " + self.template)
        helpers = build_helpers(self.build_dir, self.arch)
        os.makedirs(self.workdir, exist_ok=True)
        env = wine_env(self.template, self.arch)
        # Once, in a clean-clone run, wineboot exited 53 and the next run was fine; so it gets a
        # second try, and a failure says what Wine printed. Its stderr goes to a file: the services
        # it starts inherit it and would hold a pipe open.
        for attempt in (1, 2):
            log_path = os.path.join(self.workdir, "wineboot.log")
            with open(log_path, "w+b") as log:
                r = subprocess.run([loader_for(env), "wineboot", "-i"], env=env, timeout=300,
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log)
                subprocess.run(["wineserver", "-w"], env=env, timeout=300,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                log.seek(0)
                output = log.read()[-2000:].decode(errors="replace")
            booted = r.returncode == 0 and os.path.isdir(os.path.join(self.template, "drive_c/windows/system32"))
            if booted:
                break
            print("wine: wineboot failed (%d), attempt %d:\n%s" % (r.returncode, attempt, output), flush=True)
            stop_server(env)
            shutil.rmtree(self.template, ignore_errors=True)
        if not booted:
            raise WineError("wineboot failed (%d)" % r.returncode)

        helper_dir = os.path.join(self.template, HELPER_DIR_REL)
        os.makedirs(helper_dir, exist_ok=True)
        for exe in helpers.values():
            shutil.copy(exe, helper_dir)
        for rel in DECOY_FILES:
            with open(os.path.join(self.template, rel), "wb") as f:
                f.write(b"decoy " + rel.encode() + b"\n")

        start_server(env)
        try:
            _wine_ok(env, ["sc", "create", DECOY_SERVICE, "binPath=", r"C:\windows\system32\drivers\velkor.sys",
                           "type=", "kernel"])
            reg_file = os.path.join(self.template, "drive_c", "decoy.reg")
            with open(reg_file, "w", newline="\r\n") as f:
                f.write(DECOY_KEY_REG)
            _wine_ok(env, ["reg", "import", r"C:\decoy.reg"])
            os.unlink(reg_file)
        finally:
            stop_server(env)
        self.template_snapshot = snapshot(self.template)
        self.template_seconds = time.monotonic() - started
        return self.template

    def new_case(self, name):
        """A fresh copy of the template with its own warm server."""
        self._count += 1
        prefix = os.path.join(self.workdir, "case%03d-%s" % (self._count, name))
        return WineCase(self, prefix)

    def template_changes(self):
        """Changes to the template's files since it was made. Cases share its
        files through hard links, so an in-place change in a case shows here."""
        now = {"registry": self.template_snapshot["registry"], "files": _file_tree(self.template)}
        return diff_snapshots(self.template_snapshot, now, skip_keys=(), skip_files=())

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


def _wine(env, args, timeout=60):
    return subprocess.run([loader_for(env)] + list(args), env=env, timeout=timeout,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def _wine_ok(env, args, timeout=60):
    r = _wine(env, args, timeout)
    if r.returncode != 0:
        raise WineError("%s failed (%d): %s" % (" ".join(args), r.returncode,
                                                r.stdout.decode(errors="replace")))
    return r


class WineCase:
    def __init__(self, machine, prefix):
        started = time.monotonic()
        self.machine = machine
        self.prefix = prefix
        self.env = wine_env(prefix, machine.arch)
        self.holders = []
        self.open_runs = []
        self.runs = []
        self.planted = {}
        self.after = None
        self._copy_template()
        self._server_up = True
        start_server(self.env)
        self.setup_seconds = time.monotonic() - started

    def _copy_template(self):
        t = self.machine.template
        subprocess.run(["cp", "-al", t, self.prefix], check=True, timeout=120)
        # Files a case may write in place get their own copies: the hives
        # (wineserver rewrites them) and the decoys (a faulty tool might
        # change their attributes, which a hard link would pass on).
        for rel in HIVES + DECOY_FILES:
            dst = os.path.join(self.prefix, rel)
            os.unlink(dst)
            shutil.copy2(os.path.join(t, rel), dst)  # keeps mode and xattrs

    def unix_path(self, rel):
        return os.path.join(self.prefix, rel)

    def wine(self, args, timeout=60):
        """Run a Wine program (sc, reg, attrib, a helper) to completion."""
        return _wine(self.env, args, timeout)

    # ------------------------------------------------------------ planting

    def plant(self, service=None, driver=None, key=None):
        """Put the targets in the given states; None leaves that target absent.

        A planted service always has its own key (the service manager makes
        it); key="full" adds values and nested subkeys to it. The service
        "running-driver" runs the driver file as its image, so it goes only
        with driver="running-image", and that driver only with it."""
        if service not in SERVICE_STATES or driver not in DRIVER_STATES or key not in KEY_STATES:
            raise ValueError((service, driver, key))
        if (service == "running-driver") != (driver == "running-image"):
            raise ValueError("running-driver and running-image go together")
        self.planted = {"service": service, "driver": driver, "key": key}

        path = self.unix_path(DRIVER_REL)
        if driver == "directory":
            os.mkdir(path)
        elif driver == "running-image":
            # A real copy: a hard link would share the template's inode.
            shutil.copyfile(self.unix_path(HELPER_DIR_REL + "/" + DRIVER_IMAGE + ".sys"), path)
        elif driver is not None:
            with open(path, "wb") as f:
                f.write(b"MZ" + b"\0" * 1022)
        if driver == "readonly-hidden-system":
            os.chmod(path, 0o444)
            # attrib applies only the last flag of a call
            _wine_ok(self.env, ["attrib", "+h", DRIVER_WIN])
            _wine_ok(self.env, ["attrib", "+s", DRIVER_WIN])

        if service in ("stopped", "held-open", "marked", "running-driver"):
            _wine_ok(self.env, ["sc", "create", SERVICE, "binPath=", DRIVER_WIN, "type=", "kernel"])
        elif service == "running-refuses-stop":
            _wine_ok(self.env, ["sc", "create", SERVICE, "binPath=", HELPER_DIR_WIN + r"\nostopsvc.exe",
                                "type=", "own"])
        if service in ("running-refuses-stop", "running-driver"):
            _wine_ok(self.env, ["sc", "start", SERVICE])
            self._wait_service_state("RUNNING")

        if key is not None:
            reg_file = self.unix_path("drive_c/velkor-key.reg")
            with open(reg_file, "w", newline="\r\n") as f:
                f.write(FULL_KEY_REG)
            _wine_ok(self.env, ["reg", "import", r"C:\velkor-key.reg"])
            os.unlink(reg_file)
        if key == "deny-subkey":
            r = _wine_ok(self.env, [HELPER_DIR_WIN + r"\denykey.exe", DENIED_SUBKEY])
            if r.stdout.strip() != b"ready":
                raise WineError("denykey: %r" % r.stdout)

        # Holders last: marking the service for deletion must follow the key's planting.
        if driver == "locked":
            self.holders.append(Holder([loader_for(self.env), HELPER_DIR_WIN + r"\lockfile.exe", DRIVER_WIN],
                                       self.env, "lockfile"))
        if service == "held-open":
            self.holders.append(Holder([loader_for(self.env), HELPER_DIR_WIN + r"\holdservice.exe", SERVICE],
                                       self.env, "holdservice"))
        elif service == "marked":
            self.holders.append(Holder([loader_for(self.env), HELPER_DIR_WIN + r"\holdservice.exe", SERVICE,
                                        "delete"], self.env, "holdservice delete"))

    def _wait_service_state(self, state, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            r = self.wine(["sc", "query", SERVICE])
            if (" " + state).encode() in r.stdout:
                return
            if time.monotonic() > deadline:
                raise WineError("service never reached %s: %r" % (state, r.stdout))
            time.sleep(0.1)

    def release(self):
        """End the helpers that hold the service or the file open."""
        holders, self.holders = self.holders, []
        for h in holders:
            h.release()

    # ------------------------------------------------------------ running

    def run(self, exe, stdin=b"", timeout=30):
        """Run exe with these stdin bytes (then end of file); exact stdout."""
        n = len(self.runs)
        self.runs.append(exe)
        err_path = os.path.join(self.machine.workdir, os.path.basename(self.prefix) + ".stderr%d" % n)
        started = time.monotonic()
        with open(err_path, "w+b") as err:
            proc = subprocess.Popen([loader_for(self.env), exe], env=self.env, stdin=subprocess.PIPE,
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
        n = len(self.runs)
        self.runs.append(exe)
        err_path = os.path.join(self.machine.workdir, os.path.basename(self.prefix) + ".stderr%d" % n)
        run = OpenStdinRun([loader_for(self.env), exe], self.env, err_path)
        self.open_runs.append(run)
        if first:
            run.send(first)
        return run

    # ------------------------------------------------------------ checking

    def remaining(self, decoys=True):
        """Which targets (and decoys) still exist, asked of Wine (services via
        sc query, keys via reg query) and of the Unix file system (files); the
        tool's messages are not used. finish() also catches a lost decoy, so
        decoys=False saves about half of this call's time."""
        queries = {
            "service velkor": ["sc", "query", SERVICE],
            "key velkor": ["reg", "query", SERVICE_KEY_HKLM],
        }
        if decoys:
            queries["service velkor2"] = ["sc", "query", DECOY_SERVICE]
            for k in DECOY_KEYS:
                queries["key " + k.rsplit("\\", 1)[1]] = ["reg", "query", k]
        procs = {name: subprocess.Popen([loader_for(self.env)] + args, env=self.env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
                 for name, args in queries.items()}
        found = {}
        self.query_output = {}
        for name, p in procs.items():
            out, _ = p.communicate(timeout=60)
            self.query_output[name] = out
            if p.returncode not in (0, 1):
                raise WineError("%s: exit %d: %r" % (" ".join(queries[name]), p.returncode, out))
            found[name] = p.returncode == 0
        found["file velkor.sys"] = os.path.lexists(self.unix_path(DRIVER_REL))
        if decoys:
            for rel in DECOY_FILES:
                found["file " + rel.split("system32/", 1)[1]] = os.path.exists(self.unix_path(rel))
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

    def finish(self):
        """Stop, snapshot, and list every change outside the three targets."""
        self.stop()
        self.after = snapshot(self.prefix)
        return diff_snapshots(self.machine.template_snapshot, self.after)

    def saved_keys(self):
        """After finish(): which service keys the saved system hive holds; a
        second witness besides reg query, read from disk."""
        hive = self.after["registry"]["system.reg"]
        names = {"key velkor": SERVICE_KEY}
        for k in DECOY_KEYS:
            names["key " + k.rsplit("\\", 1)[1]] = k.split("\\", 1)[1]
        return {label: key.lower() in hive for label, key in names.items()}

    def close(self):
        self.stop()
        shutil.rmtree(self.prefix, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
