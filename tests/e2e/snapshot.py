"""Snapshots of a Wine prefix and their differences: the registry hives by content and the
file tree by kind, size, permissions and extended attributes.

    before = snapshot(prefix); ...; after = snapshot(prefix)
    diff_snapshots(before, after, skip_keys=(KEY,), skip_files=(REL_PATH,))  # [] when unchanged

Read only once the prefix's wineserver has exited: the hives are written when it ends.
"""

import os

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
IGNORED_FILES = HIVES


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


def diff_snapshots(before, after, skip_keys=(), skip_files=()):
    """Differences outside the skipped keys and files, as readable lines; [] when none."""
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
