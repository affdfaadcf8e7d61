"""Snapshots of a Wine prefix and their differences: the registry hives by content and the
file tree by kind, size, permissions and extended attributes.

    before = snapshot(prefix); ...; after = snapshot(prefix)
    diff_snapshots(before, after, skip_keys=(KEY,), skip_files=(REL_PATH,))  # [] when unchanged
    multi_string(after["registry"]["system.reg"], stored_name(KEY), NAME)  # "a|b||"

Read only once the prefix's wineserver has exited: the hives are written when it ends.
"""

import os
import re

HIVES = ("system.reg", "user.reg", "userdef.reg")


def stored_name(path):
    """The name the system hive stores a key below HKLM under: CurrentControlSet is a link to
    ControlSet001 there (winemachine makes the prefixes so), as on Windows."""
    linked = "system\\currentcontrolset"
    if path.lower() == linked or path.lower().startswith(linked + "\\"):
        return "System\\ControlSet001" + path[len(linked):]
    return path


# Left out of the registry comparison, because Wine rewrites them at every
# server start on its own (found by diffing cases that answer "n"):
#  - the "[key] 1234" stamp and "#time=" line of every key (last-write times);
#  - DriverDate and DriverDateData of the display adapter's class key, which
#    the display driver sets to the current date whenever the desktop starts.
# And the file operations pending for the next boot, which are checked on their own
# (pending_file_operations): the tool may schedule the driver file's deletion.
SESSION_MANAGER = stored_name(r"SYSTEM\CurrentControlSet\Control\Session Manager")
PENDING_OPERATIONS = '"PendingFileRenameOperations"='
IGNORED_VALUES = (
    (stored_name(r"SYSTEM\CurrentControlSet\Control\Class\{4D36E968-E325-11CE-BFC1-08002BE10318}\0000"),
     ('"DriverDate"=', '"DriverDateData"=')),
    (SESSION_MANAGER, (PENDING_OPERATIONS,)),
)
# Per file-tree entry: kind, size (files only), permission bits, extended
# attributes (Wine keeps hidden/system there), link target. Times are left
# out: Wine touches files it merely opens. Directory sizes are left out: ext4
# never shrinks a directory, so they record history, not content. The hives
# are compared by content above.
IGNORED_FILES = HIVES


def _parse_hive(path, ignore=True):
    """{lowercased key name: (key name, sorted value lines)} of a Wine .reg file; with ignore,
    without IGNORED_VALUES."""
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
            elif not (ignore and _ignored_value(name, line)):
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


def _unescape(match):
    escaped = match.group(1)
    if escaped[0] == "x" and len(escaped) > 1:
        return chr(int(escaped[1:], 16))
    return {"0": "\0", "n": "\n", "r": "\r", "t": "\t"}.get(escaped, escaped)


def _multi_sz(data):
    """REG_MULTI_SZ data as Wine writes it, as text with every zero; None for another type. Wine
    writes str(7):"..." with escapes and without the last zero, or hex(7):5c,00,... (UTF-16)."""
    if data.startswith('str(7):"'):
        return re.sub(r'\\(x[0-9a-fA-F]{1,4}|.)', _unescape, data[len('str(7):"'):-1]) + "\0"
    if data.startswith("hex(7):"):
        data = bytes(int(byte, 16) for byte in data[len("hex(7):"):].split(",") if byte)
        return data.decode("utf-16-le", "replace")
    return None


def multi_string(hive, key, name):
    """A REG_MULTI_SZ value of a parsed hive's key (by its stored name) as text with every zero
    written as "|"; None when absent; Wine's whole line when the value has another type."""
    _, lines = hive.get(key.lower(), (None, ()))
    start = '"%s"=' % name
    for line in lines:
        if line.startswith(start):
            text = _multi_sz(line[len(start):])
            return line if text is None else text.replace("\0", "|")
    return None


def pending_file_operations(prefix):
    """The (source, destination) pairs in PendingFileRenameOperations of a prefix whose server has
    exited; destination "" is a deletion. [] when the value is absent."""
    hive = _parse_hive(os.path.join(prefix, "system.reg"), ignore=False)
    text = multi_string(hive, SESSION_MANAGER, "PendingFileRenameOperations") or ""
    # Source and destination, each closed by a zero.
    strings = text.split("|")
    pairs, index = [], 0
    while index + 1 < len(strings) and strings[index]:
        pairs.append((strings[index], strings[index + 1]))
        index += 2
    return pairs


def snapshot(prefix):
    """Registry hives and file tree of a prefix whose server has exited."""
    return {
        "registry": {h: _parse_hive(os.path.join(prefix, h)) for h in HIVES},
        "files": _file_tree(prefix),
    }


def _under(name, root):
    name, root = name.lower(), root.lower()
    return name == root or name.startswith(root + "\\") or name.startswith(root + "/")


def _kept(lines, starts):
    return tuple(line for line in lines if not line.startswith(starts))


def diff_snapshots(before, after, skip_keys=(), skip_files=(), skip_values=()):
    """Differences outside the skipped keys, values ((key, value line starts), as IGNORED_VALUES)
    and files, as readable lines; [] when none."""
    out = []
    for hive in HIVES:
        b = before["registry"][hive]
        a = after["registry"][hive]
        for k in sorted(set(b) | set(a)):
            name = (b.get(k) or a.get(k))[0]
            if any(_under(name, s) for s in skip_keys):
                continue
            starts = tuple(start for key, value_starts in skip_values if key.lower() == k for start in value_starts)
            if k not in a:
                out.append("%s: key removed: %s" % (hive, name))
            elif k not in b:
                out.append("%s: key added: %s" % (hive, name))
            elif _kept(b[k][1], starts) != _kept(a[k][1], starts):
                gone = sorted(set(_kept(b[k][1], starts)) - set(a[k][1]))
                new = sorted(set(_kept(a[k][1], starts)) - set(b[k][1]))
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
