#!/usr/bin/env bash
# Makes a release in dist/ from a fresh build of the windows preset:
#   dist/velkor-remover.exe        Authenticode-signed when SIGN_CERT and SIGN_KEY are set
#   dist/SHA256SUMS                its SHA-256, for sha256sum -c
#   dist/velkor-remover-V.zip      the exe, SHA256SUMS and README.txt (CRLF) for Windows users
#
#   bash scripts/release.sh
#   SIGN_CERT=cert.pem SIGN_KEY=key.pem [SIGN_TIMESTAMP_URL=http://tsa.example/] bash scripts/release.sh
#
# SIGN_CERT and SIGN_KEY are PEM files (the key unencrypted); SIGN_TIMESTAMP_URL adds an RFC 3161
# timestamp. The zip's entries carry SOURCE_DATE_EPOCH if set, otherwise the checked-out commit's
# time. Everything is made in a temporary directory; dist/ is replaced only once all of it exists,
# so a failed release leaves an existing dist/ as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)

fail() {
    echo "release: $*" >&2
    exit 1
}

signer=
if [ -n "${SIGN_CERT:-}" ] || [ -n "${SIGN_KEY:-}" ]; then
    [ -n "${SIGN_CERT:-}" ] || fail "SIGN_KEY is set but SIGN_CERT is not: set both to sign, or neither"
    [ -n "${SIGN_KEY:-}" ] || fail "SIGN_CERT is set but SIGN_KEY is not: set both to sign, or neither"
    for variable in SIGN_CERT SIGN_KEY; do
        file=${!variable}
        if [ ! -f "$file" ] || [ ! -r "$file" ]; then
            fail "$variable: no readable file $file"
        fi
    done
    cert_public=$(openssl x509 -in "$SIGN_CERT" -pubkey -noout 2>/dev/null) ||
        fail "SIGN_CERT: $SIGN_CERT is not a PEM certificate"
    # An empty pass phrase: an encrypted key fails here instead of prompting.
    key_public=$(openssl pkey -in "$SIGN_KEY" -pubout -passin pass: 2>/dev/null) ||
        fail "SIGN_KEY: $SIGN_KEY is not an unencrypted PEM private key"
    [ "$cert_public" = "$key_public" ] ||
        fail "SIGN_CERT and SIGN_KEY do not match: the certificate's public key is not the key's"
    signer=$(openssl x509 -in "$SIGN_CERT" -noout -subject)
fi

if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    stamp=$SOURCE_DATE_EPOCH
elif [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$root" ]; then
    stamp=$(git log -1 --format=%ct)
else
    fail "not a git checkout: set SOURCE_DATE_EPOCH for the zip's entry times"
fi
[[ $stamp =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH is not a number of seconds: $stamp"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/velkor-release.XXXXXX")
stage=
old=
cleanup() {
    rm -rf "$tmp"
    [ -z "$stage" ] || rm -rf "$stage"
    [ -z "$old" ] || rm -rf "$old"
}
trap cleanup EXIT

# Flags from the caller's environment would reach the compiler and change the bytes. GNU ld
# writes SOURCE_DATE_EPOCH into the PE header when it may insert a time stamp at all: keep it
# from the build, so the exe depends on the sources alone.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS RCFLAGS SOURCE_DATE_EPOCH
build=$tmp/build
cmake --preset windows -B "$build" >"$tmp/configure.log" 2>&1 ||
    { cat "$tmp/configure.log" >&2; fail "configuring the windows preset failed"; }
cmake --build "$build" --target velkor-remover -j "$(nproc)" >"$tmp/build.log" 2>&1 ||
    { cat "$tmp/build.log" >&2; fail "building the windows preset failed"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

# Staged beside dist/ so that the final renames stay on one file system.
stage=$(mktemp -d "$root/.dist-new.XXXXXX")
exe=$stage/velkor-remover.exe
if [ -n "$signer" ]; then
    timestamp=()
    [ -z "${SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$SIGN_TIMESTAMP_URL")
    if ! osslsigncode sign -certs "$SIGN_CERT" -key "$SIGN_KEY" -n "Velkor Remover" -h sha256 \
        "${timestamp[@]}" -in "$build/velkor-remover.exe" -out "$exe" >"$tmp/sign.log" 2>&1; then
        # osslsigncode's own lines say what went wrong; OpenSSL's error queue after them is noise.
        grep -Ev '^[0-9A-F]+:error:' "$tmp/sign.log" >&2 || cat "$tmp/sign.log" >&2
        fail "signing with osslsigncode failed"
    fi
else
    cp "$build/velkor-remover.exe" "$exe"
fi
(cd "$stage" && sha256sum velkor-remover.exe >SHA256SUMS)
sed -e "s/@VERSION@/$version/g" -e 's/\r*$/\r/' release/README.txt >"$tmp/README.txt"
zip=velkor-remover-$version.zip
python3 scripts/make_zip.py "$stage/$zip" "$stamp" \
    velkor-remover.exe="$exe" SHA256SUMS="$stage/SHA256SUMS" README.txt="$tmp/README.txt"

if [ -e dist ] || [ -L dist ]; then
    old=$(mktemp -d "$root/.dist-old.XXXXXX")
    mv dist "$old/"
fi
mv "$stage" dist
stage=
chmod "$(printf '%o' $((0777 & ~0$(umask))))" dist

if [ -n "$signer" ]; then
    echo "release: signed by $signer"
else
    echo "release: unsigned (set SIGN_CERT and SIGN_KEY to sign)"
fi
echo "release: dist/velkor-remover.exe $(sha256sum <dist/velkor-remover.exe | cut -d' ' -f1)"
echo "release: dist/$zip $(sha256sum <"dist/$zip" | cut -d' ' -f1)"
