#!/usr/bin/env bash
# Checks scripts/release.sh on copies of the working tree (tracked and untracked, not ignored):
#  - two releases made at different paths, time zones, locales and umasks are byte-identical;
#  - the zip holds the exe, SHA256SUMS and a CRLF README.txt, and the exe's version resource
#    names the version in the zip's name;
#  - a release signed with a throwaway signer verifies, passes the executable check and its own
#    SHA256SUMS, and runs a confirmed scenario under Wine;
#  - signing input that is incomplete, missing or mismatched, and a signing step that fails late,
#    each end with a message and leave dist/ as it was (absent or the earlier release);
#  - the fleet playbook expects the hash that dist/SHA256SUMS gives.
# Builds go to a temporary directory under /tmp, removed at the end.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

work=$(mktemp -d /tmp/velkor-check-release.XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
pass() {
    echo "ok: $*"
    passed=$((passed + 1))
}
fail() {
    echo "FAIL: $*"
    failed=$((failed + 1))
}

# A signer in the caller's environment would sign the releases meant to be unsigned.
unset SIGN_CERT SIGN_KEY SIGN_TIMESTAMP_URL
# The zips of all copies carry the commit's time, as a release from the checkout would.
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)

# copy_tree DIR: the working tree's files into DIR, without a release already made in it.
copy_tree() {
    mkdir -p "$1" &&
        git ls-files -z -co --exclude-standard |
        while IFS= read -r -d '' file; do
            case $file in dist/* | .dist-*) continue ;; esac
            [ -e "$file" ] || [ -L "$file" ] || continue # deleted but not yet staged
            printf '%s\0' "$file"
        done | xargs -0 -r cp -P --parents -t "$1"
}

# release DIR LOG [VAR=VALUE...]: runs the release script in DIR with the given environment.
release() {
    local dir=$1 log=$2
    shift 2
    (cd "$dir" && env "$@" bash scripts/release.sh) >"$log" 2>&1
}

sha() { sha256sum "$1" | cut -d' ' -f1; }

# dist_state DIR: one line per file of DIR/dist with its hash, or "absent".
dist_state() {
    if [ -e "$1/dist" ]; then
        (cd "$1/dist" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum)
    else
        echo absent
    fi
}

# check_dist NAME DIR: sha256sum -c, and what the zip holds.
check_dist() {
    local name=$1 dist=$2/dist
    if (cd "$dist" && sha256sum -c --strict SHA256SUMS) >"$work/sums.log" 2>&1; then
        pass "$name: sha256sum -c SHA256SUMS ($(tr '\n' ' ' <"$work/sums.log"))"
    else
        fail "$name: sha256sum -c SHA256SUMS: $(cat "$work/sums.log")"
    fi
    local problems
    if problems=$(python3 - "$dist" 2>&1 <<'EOF'
import glob, os, sys, time, zipfile
dist = sys.argv[1]
zips = glob.glob(os.path.join(dist, "velkor-remover-*.zip"))
if len(zips) != 1:
    sys.exit(f"expected one velkor-remover-*.zip, found {zips}")
with zipfile.ZipFile(zips[0]) as archive:
    infos = archive.infolist()
    names = [info.filename for info in infos]
    if names != ["velkor-remover.exe", "SHA256SUMS", "README.txt"]:
        sys.exit(f"entries {names}")
    for name in ("velkor-remover.exe", "SHA256SUMS"):
        if archive.read(name) != open(os.path.join(dist, name), "rb").read():
            sys.exit(f"{name} in the zip is not dist/{name}")
    readme = archive.read("README.txt")
    lines = readme.split(b"\r\n")
    if not readme.endswith(b"\r\n") or any(b"\n" in line or b"\r" in line for line in lines):
        sys.exit("README.txt does not end every line with CR LF")
    for needle in (b"echo y| velkor-remover.exe", b"certutil -hashfile velkor-remover.exe SHA256",
                   b"Get-FileHash velkor-remover.exe -Algorithm SHA256"):
        if needle not in readme:
            sys.exit(f"README.txt lacks {needle.decode()!r}")
    if b"@" in readme:
        sys.exit("README.txt has an unfilled @...@ field")
    stamp = int(os.environ["SOURCE_DATE_EPOCH"])
    want = time.gmtime(stamp - stamp % 2)[:6]
    for info in infos:
        if info.date_time != want or info.extra or info.external_attr >> 16 != 0o100644:
            sys.exit(f"{info.filename}: time {info.date_time} (want {want}), extra {info.extra!r}, "
                     f"mode {info.external_attr >> 16:o}")
EOF
    ); then
        pass "$name: zip holds the exe, SHA256SUMS and a CRLF README.txt, at the commit's time"
    else
        fail "$name: zip: $problems"
    fi
}

# ---------------------------------------------------------------- two unsigned releases
a=$work/a/src
b=$work/a-longer-path/to/another/copy
(umask 022 && copy_tree "$a")
(umask 077 && copy_tree "$b")
if (umask 022 && release "$a" "$work/a.log" TZ=UTC LC_ALL=C); then
    pass "release in $a (TZ=UTC, umask 022)"
else
    fail "release in $a: $(cat "$work/a.log")"
fi
sleep 1 # a different second, so a time stamp that slipped in would show
if (umask 077 && release "$b" "$work/b.log" TZ=Pacific/Chatham LC_ALL=C.UTF-8); then
    pass "release in $b (TZ=Pacific/Chatham, umask 077)"
else
    fail "release in $b: $(cat "$work/b.log")"
fi
if [ "$(grep -c 'unsigned' "$work/a.log")" = 1 ]; then
    pass "an unsigned release says so in one line: $(grep unsigned "$work/a.log")"
else
    fail "unsigned release output: $(cat "$work/a.log")"
fi

zip_name=$(cd "$a/dist" 2>/dev/null && ls velkor-remover-*.zip 2>/dev/null)
for file in velkor-remover.exe "$zip_name"; do
    if [ -f "$a/dist/$file" ] && [ -f "$b/dist/$file" ]; then
        echo "  $(sha "$a/dist/$file")  $a/dist/$file"
        echo "  $(sha "$b/dist/$file")  $b/dist/$file"
    fi
    if [ -n "$file" ] && cmp "$a/dist/$file" "$b/dist/$file"; then
        pass "$file is byte-identical from both copies"
    else
        fail "${file:-the zip} differs between the two copies (or is missing)"
    fi
done
check_dist unsigned "$a"

# The version resource (UTF-16) must name the version that the zip is named after.
version=${zip_name#velkor-remover-}
version=${version%.zip}
if [ -n "$version" ] && python3 - "$a/dist/velkor-remover.exe" "$version" <<'EOF'; then
import re, sys
image, version = open(sys.argv[1], "rb").read(), sys.argv[2]
for name in ("FileVersion", "ProductVersion"):
    # Key, its NUL, padding to 32 bits, value, its NUL: all UTF-16.
    key, value = name.encode("utf-16-le"), version.encode("utf-16-le")
    if not re.search(re.escape(key) + rb"\x00\x00(\x00\x00)?" + re.escape(value) + rb"\x00\x00", image):
        sys.exit(1)
EOF
    pass "the exe's version resource says $version, as the zip's name does"
else
    fail "the exe's FileVersion or ProductVersion is not ${version:-?} (the zip's name)"
fi

# ---------------------------------------------------------------- signed release
keys=$work/keys
mkdir -p "$keys"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/key.pem" -out "$keys/cert.pem" -days 2 \
    -subj "/CN=Test" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$keys/other-key.pem" >/dev/null 2>&1

signed=$work/signed/src
copy_tree "$signed"
if release "$signed" "$work/signed.log" SIGN_CERT="$keys/cert.pem" SIGN_KEY="$keys/key.pem" &&
    grep -q 'signed by' "$work/signed.log"; then
    pass "signed release: $(grep 'signed by' "$work/signed.log")"
else
    fail "signed release: $(cat "$work/signed.log")"
fi
exe=$signed/dist/velkor-remover.exe
if osslsigncode verify -CAfile "$keys/cert.pem" -in "$exe" >"$work/verify.log" 2>&1 &&
    grep -q '^Signature verification: ok' "$work/verify.log" &&
    grep -q '^Message digest algorithm  : SHA256' "$work/verify.log" &&
    grep -q 'Text description: Velkor Remover' "$work/verify.log"; then
    pass "osslsigncode verify (SHA-256, \"Velkor Remover\"): $(grep -E '^Signature verification|^Number of verified' "$work/verify.log" | paste -sd';' -)"
else
    fail "osslsigncode verify: $(cat "$work/verify.log")"
fi
# The signature is all that signing adds: without it, the signed exe is the unsigned release.
if osslsigncode remove-signature -in "$exe" -out "$work/unsigned-again.exe" >/dev/null 2>&1 &&
    cmp -s "$work/unsigned-again.exe" "$a/dist/velkor-remover.exe"; then
    pass "the signed exe without its signature is the unsigned release, byte for byte"
else
    fail "the signed exe without its signature is not the unsigned release"
fi
if python3 tests/check_executable.py "$exe" >"$work/check.log" 2>&1; then
    pass "tests/check_executable.py on the signed exe"
else
    fail "tests/check_executable.py on the signed exe: $(cat "$work/check.log")"
fi
check_dist signed "$signed"

# ---------------------------------------------------------------- refused releases
# Each must fail with a message and leave dist/ exactly as it was: absent in a fresh copy,
# the earlier unsigned release in $a.
fresh=$work/fresh/src
copy_tree "$fresh"
refused() {
    local what=$1
    shift
    local dir
    for dir in "$fresh" "$a"; do
        local before after message
        before=$(dist_state "$dir")
        if release "$dir" "$work/refused.log" "$@"; then
            fail "$what: release succeeded in $dir"
            continue
        fi
        message=$(grep '^release: ' "$work/refused.log" | tail -n 1)
        after=$(dist_state "$dir")
        if [ -z "$message" ]; then
            fail "$what: no message in $dir: $(cat "$work/refused.log")"
        elif [ "$before" != "$after" ]; then
            fail "$what: dist/ changed in $dir"
        elif compgen -G "$dir/.dist-*" >/dev/null; then
            fail "$what: staging directory left in $dir"
        else
            pass "$what ($([ "$before" = absent ] && echo "still no dist/" || echo "earlier dist/ unchanged")): $message"
        fi
    done
}
refused "certificate and key that do not match" SIGN_CERT="$keys/cert.pem" SIGN_KEY="$keys/other-key.pem"
refused "missing key file" SIGN_CERT="$keys/cert.pem" SIGN_KEY="$keys/no-such-key.pem"
refused "key without certificate" SIGN_KEY="$keys/key.pem"
# Port 9 (discard) on the loopback refuses at once: signing fails after the build.
refused "unreachable timestamp server" SIGN_CERT="$keys/cert.pem" SIGN_KEY="$keys/key.pem" \
    SIGN_TIMESTAMP_URL=http://127.0.0.1:9/

# ---------------------------------------------------------------- fleet playbook
if ANSIBLE_LOCALHOST_WARNING=false ansible-playbook -i localhost, -c local -e target_hosts=localhost \
    -e remover_source="$signed/dist/velkor-remover.exe" --tags checksum \
    deploy/ansible/remove-velkor.yml >"$work/playbook.log" 2>&1 &&
    grep -q "expected SHA-256 $(sha "$exe")" "$work/playbook.log"; then
    pass "the playbook expects the SHA-256 from SHA256SUMS beside the exe"
else
    fail "the playbook's expected SHA-256: $(grep -E 'msg|ERROR' "$work/playbook.log")"
fi

# ---------------------------------------------------------------- under Wine
# TMPDIR: the runner's own temporary files go with this script's.
mkdir -p "$work/tmp"
TMPDIR=$work/tmp python3 tests/e2e/run_scenarios.py --exe "$exe" --only "everything present and removable" \
    >"$work/wine.log" 2>&1
status=$?
case $status in
0) pass "under Wine, signed exe: everything present and removable ($(tail -n 1 "$work/wine.log"))" ;;
3)
    why=$(grep 'not run' "$work/wine.log" | paste -sd';' -)
    echo "not run here: the signed exe under Wine: ${why:-$(tail -n 1 "$work/wine.log")}"
    ;;
*)
    tail -n 20 "$work/wine.log"
    fail "under Wine, signed exe: run_scenarios.py exited $status"
    ;;
esac

echo "release: $passed passed, $failed failed"
[ "$failed" = 0 ]
