#!/usr/bin/env bash
# A signed release: make dist with a throwaway CA's code-signing certificate
# and a throwaway GnuPG key, then everything a user or a rebuilder checks.
#   check_signing.sh BUILD_FOLDER    (the win32 build; the native one beside it)
#
# - The exe's signature verifies against the CA, and fails to once one byte
#   of its code changes; removing it gives the unsigned exe back exactly.
# - The key's pass phrase never reaches a command line (osslsigncode runs
#   through a shim that records its arguments).
# - The signed exe passes the usage, store and dump rows under Wine.
# - make verify-release passes on the zip, and fails, saying why, on a zip
#   whose exe was changed (with SHA256SUMS made to match) and on one whose
#   SHA256SUMS does not match.
# - dist/SHA256SUMS.asc verifies, and fails once SHA256SUMS changes; a
#   changed archive fails sha256sum -c.
# - Without SIGN_CERT the zip holds the exe as built.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tests/lib.sh"
build=$(cd "${1:?usage: check_signing.sh BUILD_FOLDER}" && pwd)
exe=$build/sectpull.exe
needs "$top/build/native/sectpull" "the native build, for make dist's tarball"
for tool in osslsigncode gpg openssl unzip zip; do
    command -v $tool >/dev/null || skip_or_fail "no $tool (tools/deps test installs it)"
done
version=$(cat "$top/VERSION")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
# make dist builds nothing here: make test built the presets first.
unset MAKEFLAGS MFLAGS MAKELEVEL

# Changes the byte at an offset, whatever it was: writing a fixed value
# would leave the file as it was whenever the byte already held it.
flip_byte() {
    python3 - "$1" "$2" <<'EOF'
import sys
path, at = sys.argv[1], int(sys.argv[2])
with open(path, "r+b") as f:
    f.seek(at)
    byte = f.read(1)[0]
    f.seek(at)
    f.write(bytes([byte ^ 0x01]))
EOF
}
# The first digest digit of SHA256SUMS, swapped for another hex digit so the
# line still parses and only the digest is wrong.
flip_digit() { sed -i '1s/^0/X/;1s/^[^X]/0/;1s/^X/1/' "$1"; }

# A CA and a code-signing certificate whose key has a pass phrase.
cat >x509.cnf <<'EOF'
[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
passphrase="not-on-any-command-line-$$"
printf '%s\n' "$passphrase" >pass.txt
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
    -subj "/CN=sectpull throwaway CA" -config x509.cnf -extensions ca 2>/dev/null &&
    openssl req -newkey rsa:2048 -passout file:pass.txt -keyout key.pem -out signer.csr \
        -subj "/CN=sectpull throwaway signer" -config x509.cnf 2>/dev/null &&
    openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out cert.pem \
        -days 2 -extfile x509.cnf -extensions signer 2>/dev/null
result $? "a throwaway CA and code-signing certificate"

export GNUPGHOME=$work/gnupg
mkdir -m 700 "$GNUPGHOME"
gpg --batch --passphrase '' --quick-gen-key 'sectpull throwaway <release@sectpull.example.org>' \
    default default never 2>/dev/null
key=$(gpg --list-keys --with-colons 2>/dev/null | awk -F: '/^fpr/ { print $10; exit }')
[ -n "$key" ]
result $? "a throwaway GnuPG key"

# osslsigncode through a shim that records the arguments it was given.
mkdir shim
real=$(command -v osslsigncode)
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\nexec "%s" "$@"\n' "$work/osslsigncode.args" "$real" \
    >shim/osslsigncode
chmod 755 shim/osslsigncode
PATH=$work/shim:$PATH make -s -C "$top" dist DIST="$work/dist" SIGN_CERT="$work/cert.pem" \
    SIGN_KEY="$work/key.pem" SIGN_PASS_FILE="$work/pass.txt" GPG_KEY="$key" >make.log 2>&1
result $? "make dist SIGN_CERT=... SIGN_KEY=... SIGN_PASS_FILE=... GPG_KEY=..."
zip=$work/dist/sectpull-$version-win32.zip
grep -q -- "-h sha256 -n sectpull -i https://" osslsigncode.args && ! grep -q "$passphrase" osslsigncode.args
result $? "signed with SHA-256, the name and the address; the pass phrase on no command line"

mkdir signed && (cd signed && unzip -q "$zip")
osslsigncode verify -CAfile ca.pem -in signed/sectpull.exe >verify.log 2>&1
result $? "the exe's signature verifies against the CA"
# One byte of the code section, changed.
text=$(objdump -h signed/sectpull.exe | awk '$2 == ".text" { print $6; exit }')
cp signed/sectpull.exe flipped.exe
flip_byte flipped.exe "$((16#$text + 64))"
! osslsigncode verify -CAfile ca.pem -in flipped.exe >/dev/null 2>&1
result $? "one flipped byte in .text makes verification fail"
osslsigncode remove-signature -in signed/sectpull.exe -out bare.exe >/dev/null 2>&1 &&
    cmp -s bare.exe "$exe"
result $? "removing the signature gives the unsigned exe exactly"

WINEPREFIX=${WINEPREFIX:-$top/build/wineprefix} python3 "$top/tests/e2e.py" wine \
    "$work/signed/sectpull.exe" --launcher "$build/run_command_line.exe" \
    --cases "usage,store mbr,dump mbr" >e2e.log 2>&1
status=$?
[ $status = 0 ] || cat e2e.log
result $status "the signed exe passes the usage, store and dump rows under Wine"

verify() { make -s -C "$top" verify-release ZIP="$1" CA="$work/ca.pem" FROM=tree 2>/dev/null; }
line=$(verify "$zip")
status=$?
[ $status = 0 ] && has "$line" "^verify-release: ok"
result $? "make verify-release passes on the release ($line)"

# A changed exe, with SHA256SUMS made to match it.
mkdir tampered && cp signed/* tampered/ && cp flipped.exe tampered/sectpull.exe
(cd tampered && sha256sum sectpull.exe README.md LICENSE >SHA256SUMS && zip -q -X ../tampered.zip *)
line=$(verify "$work/tampered.zip")
status=$?
[ $status != 0 ] && has "$line" "failed: .*the exe less its signature is not the build"
result $? "make verify-release fails on a changed exe, saying so ($line)"
mkdir badsums && cp signed/* badsums/ && flip_digit badsums/SHA256SUMS
(cd badsums && zip -q -X ../badsums.zip *)
line=$(verify "$work/badsums.zip")
status=$?
[ $status != 0 ] && has "$line" "failed: SHA256SUMS does not match"
result $? "make verify-release fails on a SHA256SUMS that does not match ($line)"

(cd dist && gpg --verify SHA256SUMS.asc SHA256SUMS 2>/dev/null && sha256sum -c --quiet SHA256SUMS)
result $? "gpg --verify SHA256SUMS.asc SHA256SUMS, and the sums match the archives"
cp -r dist dist-sums && flip_digit dist-sums/SHA256SUMS
! (cd dist-sums && gpg --verify SHA256SUMS.asc SHA256SUMS 2>/dev/null)
result $? "one changed byte of SHA256SUMS fails gpg --verify"
cp -r dist dist-archive && flip_byte "dist-archive/$(basename "$zip")" 100
! (cd dist-archive && sha256sum -c --quiet --ignore-missing SHA256SUMS >/dev/null 2>&1)
result $? "one changed byte of an archive fails sha256sum -c"

make -s -C "$top" dist DIST="$work/unsigned" >/dev/null 2>&1 &&
    unzip -p "$work/unsigned/sectpull-$version-win32.zip" sectpull.exe | cmp -s - "$exe" &&
    [ ! -e "$work/unsigned/SHA256SUMS.asc" ]
result $? "without SIGN_CERT and GPG_KEY, the zip holds the exe as built, and no .asc"
exit $fail
