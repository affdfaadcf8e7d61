"""Putting velkor and its look-alikes on a Wine prefix, with Wine's own tools (sc, reg, attrib)
and the small helper programs in helpers/.

    built = build_helpers(build_dir, "win64")      # once per suite run
    plant_look_alikes(case)                        # once, in the template
    plant(case, service="stopped", driver="plain", key="full", filters="listed")

`case` is a winemachine.WineCase (or anything with env, arch, unix_path() and wine_ok()).
"""

import os
import shutil
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
HELPER_SOURCES = os.path.join(HERE, "helpers")
HELPERS = ("holdservice", "lockfile", "denykey", "nostopsvc", "makelink")
DRIVER_IMAGE = "driverimage"

SERVICE = "velkor"
SERVICE_KEY = r"SYSTEM\CurrentControlSet\Services\velkor"
SERVICE_KEY_HKLM = "HKLM\\" + SERVICE_KEY
DRIVER_WIN = r"C:\windows\system32\velkor.sys"
DRIVER_REL = "drive_c/windows/system32/velkor.sys"
# What a directory planted in the driver file's place holds: it must keep it, restart or not.
DIRECTORY_CONTENT = "kept.txt"
# Inside the prefix, so service image paths and helper paths have no spaces.
HELPER_DIR_WIN = r"C:\e2e-helpers"
HELPER_DIR_REL = "drive_c/e2e-helpers"

# Look-alikes that the tool must leave alone, present in every case, by the name checks report.
LOOK_ALIKE_SERVICE = "velkor2"
LOOK_ALIKE_KEYS = {"key velkor2": r"HKLM\SYSTEM\CurrentControlSet\Services\velkor2",
                   "key velkorx": r"HKLM\SYSTEM\CurrentControlSet\Services\velkorx",
                   "key VelkorFar": r"HKLM\SYSTEM\VelkorFar"}
LOOK_ALIKE_FILES = {"file drivers/velkor.sys": "drive_c/windows/system32/drivers/velkor.sys",
                    "file velkor.sys.bak": "drive_c/windows/system32/velkor.sys.bak"}
# On 64-bit Windows a 32-bit program that names system32 gets SysWOW64 unless it turns the
# redirection off: a namesake there must survive every run.
WOW64_LOOK_ALIKE_FILES = {"file syswow64/velkor.sys": "drive_c/windows/syswow64/velkor.sys"}

SERVICE_STATES = (None, "stopped", "running-refuses-stop", "held-open", "marked", "running-driver")
DRIVER_STATES = (None, "plain", "readonly-hidden-system", "locked", "directory", "running-image")
KEY_STATES = (None, "full", "deny-subkey", "link-subkey", "is-link", "loop", "deep", "wide",
              "value-link-subkey", "value-link-key", "empty-link")
FILTER_STATES = (None, "listed")
DENIED_SUBKEY = SERVICE_KEY + r"\Parameters"

# The far key, a look-alike that registry links in the service's key point at: the tool must
# delete the links and never what they lead to. It is under SYSTEM because a 32-bit program on
# 64-bit Windows sees HKLM\Software redirected, and a link there would not resolve for it.
FAR_KEY = r"SYSTEM\VelkorFar"
# {key state: (link, its target)}, both below HKLM. "is-link": the service's key itself is the
# link; "loop": a link below it leads back to it.
LINKS = {"link-subkey": (SERVICE_KEY + r"\Far", FAR_KEY),
         "is-link": (SERVICE_KEY, FAR_KEY),
         "loop": (SERVICE_KEY + r"\Parameters\Back", SERVICE_KEY)}
NT_MACHINE = "\\Registry\\Machine\\"
# A key is a link by what it is, not by a value it holds. {key state: an ordinary key given a
# value SymbolicLinkValue of type REG_LINK that names the far key}: it goes whole with the
# service's key, and so does the key with a value below the subkey one (BELOW_LINK_VALUE).
LINK_VALUES = {"value-link-subkey": SERVICE_KEY + r"\Parameters\Fake",
               "value-link-key": SERVICE_KEY}
BELOW_LINK_VALUE = (LINK_VALUES["value-link-subkey"] + r"\Below", "Level", "below")
# key="empty-link": a link created without a target, which opens as nothing at all.
EMPTY_LINK = SERVICE_KEY + r"\Empty"

# Filter drivers of a device class are named in its key's UpperFilters and LowerFilters
# (REG_MULTI_SZ); a name whose service is gone keeps the class's devices from starting.
# {(class key, value): entries}: the template's lists name only look-alikes; filters="listed"
# puts velkor into some of them, in several cases and beside look-alikes, and alone in one,
# whose value must go. Without velkor's entries they are the template's again.
CLASS_KEY = r"SYSTEM\CurrentControlSet\Control\Class\{%s-e325-11ce-bfc1-08002be10318}"
CDROM_CLASS, DISK_CLASS = CLASS_KEY % "4d36e965", CLASS_KEY % "4d36e967"
CLASS_FILTERS = {(CLASS_KEY % "4d36e96b", "UpperFilters"): ("kbdclass", "velkor2", "xvelkor"),
                 (CLASS_KEY % "4d36e96f", "LowerFilters"): ("velkorx", "VELKOR2"),
                 (CDROM_CLASS, "UpperFilters"): ("GEARAspiWDM", "redbook"),
                 (DISK_CLASS, "UpperFilters"): ("partmgr", "velkorx")}
LISTED_FILTERS = {(CDROM_CLASS, "UpperFilters"): ("GEARAspiWDM", "Velkor", "redbook", "velkor"),
                  (CDROM_CLASS, "LowerFilters"): ("velkor",),
                  (DISK_CLASS, "UpperFilters"): ("partmgr", "VELKOR", "velkorx")}

# Windows allows 512 levels of keys below HKLM; the service's key is the 4th.
TREE_DEPTH = 512 - (SERVICE_KEY.count("\\") + 1)
TREE_WIDTH = 5000

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

# A key that is no service and shares the target's prefix, and the far key (FAR_KEY).
LOOK_ALIKE_KEY_REG = r"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\velkorx]
"ImagePath"="system32\\velkor.sys"
"Start"=dword:00000003

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\velkorx\Parameters]
"Mode"=dword:00000002

[HKEY_LOCAL_MACHINE\SYSTEM\VelkorFar]
"Owner"="far"
"Count"=dword:00000003

[HKEY_LOCAL_MACHINE\SYSTEM\VelkorFar\Deep]
"Level"="far"

[HKEY_LOCAL_MACHINE\SYSTEM\VelkorFar\Deep\Deeper]
"Level"="farther"
"""


def multi_text(entries):
    """A REG_MULTI_SZ list as text, every zero written as "|": each entry closed by one, then
    the list's own."""
    return "".join(entry + "|" for entry in entries) + "|"


def _filters_reg(lists):
    """reg import sections for {(class key, value): entries}, as hex(7): UTF-16LE."""
    text = ""
    for (key, name), entries in lists.items():
        data = multi_text(entries).replace("|", "\0").encode("utf-16-le")
        text += '\n[HKEY_LOCAL_MACHINE\\%s]\n"%s"=hex(7):%s\n' % (key, name, ",".join("%02x" % b for b in data))
    return text


def tree_subkeys(key):
    """Paths below the service's key of the subkeys that key="deep" or "wide" adds, each to be
    given a value: for "deep" only the deepest, whose creation makes the whole chain."""
    if key == "deep":
        return ["\\".join("level%d" % n for n in range(1, TREE_DEPTH + 1))]
    if key == "wide":
        return ["sub%d" % n for n in range(1, TREE_WIDTH + 1)]
    return []


class WineError(RuntimeError):
    """Wine or a helper did not do what planting or checking needed."""


def look_alike_files(arch):
    """{report name: path relative to the prefix} of the look-alike files of a prefix."""
    files = dict(LOOK_ALIKE_FILES)
    if arch == "win64":
        files.update(WOW64_LOOK_ALIKE_FILES)
    return files


def build_helpers(build_dir, arch):
    """Compile the helper programs for the prefix's own architecture into build_dir.

    In a 64-bit prefix they are 64-bit programs, so the system32 they name is the real one (a
    32-bit helper there would need C:\\windows\\sysnative), and the driver image is one that the
    64-bit driver host loads. Returns {name: path}."""
    cc = "x86_64-w64-mingw32-gcc-win32" if arch == "win64" else "i686-w64-mingw32-gcc-win32"
    # A native-subsystem image with no C runtime; 32-bit symbols carry stdcall decoration.
    driver_flags = ["-shared", "-nostdlib", "-Wl,--subsystem,native",
                    "-Wl,--entry," + ("DriverEntry" if arch == "win64" else "_DriverEntry@8")]
    build_dir = os.path.join(build_dir, arch)
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


def install_helpers(prefix, helpers):
    helper_dir = os.path.join(prefix, HELPER_DIR_REL)
    os.makedirs(helper_dir, exist_ok=True)
    for exe in helpers.values():
        shutil.copy(exe, helper_dir)


def write_look_alike_files(prefix, arch):
    """Before the prefix's server starts: the look-alike files, each with its own content."""
    for rel in look_alike_files(arch).values():
        with open(os.path.join(prefix, rel), "wb") as f:
            f.write(b"decoy " + rel.encode() + b"\n")


def _import_reg(case, text, name):
    # UTF-16, as regedit writes it: from an ANSI file reg reads hex(7) data as ANSI, a byte a character.
    reg_file = case.unix_path("drive_c/" + name)
    with open(reg_file, "w", encoding="utf-16-le", newline="\r\n") as f:
        f.write("\ufeff" + text)
    case.wine_ok(["reg", "import", "C:\\" + name])
    os.unlink(reg_file)


def plant_look_alikes(case):
    """With the server up: the look-alike service and keys."""
    case.wine_ok(["sc", "create", LOOK_ALIKE_SERVICE, "binPath=", r"C:\windows\system32\drivers\velkor.sys",
                  "type=", "kernel"])
    _import_reg(case, LOOK_ALIKE_KEY_REG + _filters_reg(CLASS_FILTERS), "decoy.reg")


def plant(case, service=None, driver=None, key=None, filters=None):
    """Put the targets in the given states; None leaves that target absent. Returns the
    Holders that keep a service or the file open; the case releases them.

    A planted service always has its own key (the service manager makes it); key="full" adds
    values and nested subkeys to it, and the other key states add to that (see LINKS,
    LINK_VALUES, EMPTY_LINK and tree_subkeys), except "is-link", which only goes without a
    service. Links in a stopped service's key are what the tool must delete before the service
    manager deletes the key, which follows them. The service "running-driver" runs the driver
    file as its image, so it goes only with driver="running-image", and that driver only with
    it. filters="listed" names velkor in class filter lists (LISTED_FILTERS)."""
    if (service not in SERVICE_STATES or driver not in DRIVER_STATES or key not in KEY_STATES
            or filters not in FILTER_STATES):
        raise ValueError((service, driver, key, filters))
    if (service == "running-driver") != (driver == "running-image"):
        raise ValueError("running-driver and running-image go together")
    if key == "is-link" and service is not None:
        raise ValueError("a service brings its own key, which is then no link")

    _plant_driver(case, driver)
    _plant_service(case, service)
    if key not in (None, "is-link"):
        _import_reg(case, FULL_KEY_REG, "velkor-key.reg")
    if tree_subkeys(key):
        _import_reg(case, _tree_reg(key), "velkor-tree.reg")
    if key == "deny-subkey":
        _run_helper(case, "denykey", DENIED_SUBKEY)
    if key in LINKS:
        link, target = LINKS[key]
        _run_helper(case, "makelink", link, NT_MACHINE + target)
    if key == "value-link-subkey":
        below, name, data = BELOW_LINK_VALUE
        case.wine_ok(["reg", "add", "HKLM\\" + below, "/v", name, "/d", data, "/f"])
    if key in LINK_VALUES:
        _run_helper(case, "makelink", "-value", LINK_VALUES[key], NT_MACHINE + FAR_KEY)
    if key == "empty-link":
        _run_helper(case, "makelink", EMPTY_LINK)
    if filters == "listed":
        _import_reg(case, "Windows Registry Editor Version 5.00\n" + _filters_reg(LISTED_FILTERS),
                    "velkor-filters.reg")

    # Holders last: marking the service for deletion must follow the key's planting.
    holders = []
    if driver == "locked":
        holders.append(Holder(case, [HELPER_DIR_WIN + r"\lockfile.exe", DRIVER_WIN], "lockfile"))
    if service == "held-open":
        holders.append(Holder(case, [HELPER_DIR_WIN + r"\holdservice.exe", SERVICE], "holdservice"))
    elif service == "marked":
        holders.append(Holder(case, [HELPER_DIR_WIN + r"\holdservice.exe", SERVICE, "delete"],
                              "holdservice delete"))
    return holders


def _tree_reg(key):
    text = ["Windows Registry Editor Version 5.00", ""]
    for subkey in tree_subkeys(key):
        text += ["[HKEY_LOCAL_MACHINE\\%s\\%s]" % (SERVICE_KEY, subkey), '"Leaf"=dword:00000001', ""]
    return "\n".join(text)


def _run_helper(case, name, *args):
    r = case.wine_ok([HELPER_DIR_WIN + "\\" + name + ".exe"] + list(args))
    if r.stdout.strip() != b"ready":
        raise WineError("%s: %r" % (name, r.stdout))


def _plant_driver(case, driver):
    path = case.unix_path(DRIVER_REL)
    if driver == "directory":
        os.mkdir(path)
        with open(os.path.join(path, DIRECTORY_CONTENT), "wb") as f:
            f.write(b"inside a directory named like the driver\n")
    elif driver == "running-image":
        # A real copy: a hard link would share the template's inode.
        shutil.copyfile(case.unix_path(HELPER_DIR_REL + "/" + DRIVER_IMAGE + ".sys"), path)
    elif driver is not None:
        with open(path, "wb") as f:
            f.write(b"MZ" + b"\0" * 1022)
    if driver == "readonly-hidden-system":
        os.chmod(path, 0o444)
        # attrib applies only the last flag of a call
        case.wine_ok(["attrib", "+h", DRIVER_WIN])
        case.wine_ok(["attrib", "+s", DRIVER_WIN])


def _plant_service(case, service):
    if service in ("stopped", "held-open", "marked", "running-driver"):
        case.wine_ok(["sc", "create", SERVICE, "binPath=", DRIVER_WIN, "type=", "kernel"])
    elif service == "running-refuses-stop":
        case.wine_ok(["sc", "create", SERVICE, "binPath=", HELPER_DIR_WIN + r"\nostopsvc.exe", "type=", "own"])
    if service in ("running-refuses-stop", "running-driver"):
        case.wine_ok(["sc", "start", SERVICE])
        _wait_service_state(case, "RUNNING")


def _wait_service_state(case, state, timeout=10):
    deadline = time.monotonic() + timeout
    while True:
        r = case.wine(["sc", "query", SERVICE])
        if (" " + state).encode() in r.stdout:
            return
        if time.monotonic() > deadline:
            raise WineError("service never reached %s: %r" % (state, r.stdout))
        time.sleep(0.1)


class Holder:
    """A helper that keeps something open until its stdin is closed."""

    def __init__(self, case, args, what):
        self.what = what
        self.proc = subprocess.Popen([case.tool_loader] + args, env=case.env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline()
        if line.strip() != b"ready":
            self.proc.kill()
            self.proc.wait()
            raise WineError("%s: helper said %r" % (what, line))
