#!/usr/bin/env bash
# check_signing.sh SOURCE_DIR WINDOWS_TREE: a release signed with a throwaway CA's certificate
# and OpenPGP key, verified, and unsigned equal to the unsigned build; then each refusal. It
# leaves the Windows tree built unsigned, as it found it.
set -u
src="$1"
tree="$2"
out="$(mktemp -d)"
export GNUPGHOME="$out/gnupg"
trap 'gpgconf --kill gpg-agent 2>/dev/null; rm -rf "$out"' EXIT
fail() { echo "check_signing: $*" >&2; exit 1; }
cd "$out" || exit 1
# package NAME [options...]: a test-payload release into $out/NAME, its errors in NAME.err.
package() {
    QX_PACKAGE_TREE="$tree" QX_PACKAGE_OUT="$out/$1" "$src/scripts/package" --windows \
        --test-payload "${@:2}" </dev/null >"$out/$1.log" 2>"$out/$1.err"
}

# A CA, and from it a code-signing certificate, an expired one and one for servers only.
printf 'secret' >password
printf '%s\n' '[ca]' 'default_ca = test' '[test]' 'database = index.txt' 'new_certs_dir = .' \
    'certificate = ca.pem' 'private_key = ca.key' 'serial = serial' 'default_md = sha256' \
    'policy = any' 'copy_extensions = copy' '[any]' 'commonName = supplied' >ca.cnf
: >index.txt
echo 01 >serial
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 \
    -subj "/CN=QX Test CA" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null || fail "the test CA"
leaf() { # NAME EXTENDED_KEY_USAGE START END
    openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=QX Test $1" \
        -addext "extendedKeyUsage=$2" 2>/dev/null &&
        openssl ca -batch -config ca.cnf -in "$1.csr" -out "$1.pem" -startdate "$3" \
            -enddate "$4" 2>/dev/null &&
        openssl pkcs12 -export -inkey "$1.key" -in "$1.pem" -certfile ca.pem -out "$1.pfx" \
            -passout file:password || fail "the certificate $1"
}
day() { date -u -d "$1" +%Y%m%d%H%M%SZ; }
leaf signer codeSigning "$(day yesterday)" "$(day '+30 days')"
leaf expired codeSigning 20200101000000Z 20200102000000Z
leaf server serverAuth "$(day yesterday)" "$(day '+30 days')"
mkdir -m 700 "$GNUPGHOME"
gpg --batch --passphrase '' --quick-gen-key "QX Test Release <release@example.invalid>" \
    rsa2048 sign 1d 2>/dev/null || fail "the OpenPGP key"
key="$(gpg --list-secret-keys --with-colons 2>/dev/null | awk -F: '/^fpr/ { print $10; exit }')"

# Unsigned, then signed: the deployed program is the tree's, the installer the release's.
program="$tree/packaging/qx-lp4r-updater-test-payload-1.3.7"
installer=qx-lp4r-updater-test-payload-1.3.7-setup.exe
package unsigned || fail "the unsigned release: $(tail -3 "$out/unsigned.log" "$out/unsigned.err")"
cp "$program/qx-lp4r-updater.exe" "$program/qx-lp4r-updater.com" "$out/unsigned/"
package signed --sign-with signer.pfx --sign-password-file password --gpg-key "$key" ||
    fail "the signed release: $(tail -3 "$out/signed.log" "$out/signed.err")"
for file in "$program/qx-lp4r-updater.exe" "$program/qx-lp4r-updater.com" "signed/$installer"; do
    osslsigncode verify -CAfile ca.pem -in "$file" >"$out/verify" 2>&1 ||
        fail "$(basename "$file") is not signed by the test certificate: $(tail -3 "$out/verify")"
done
gpg --batch --verify signed/SHA256SUMS.asc signed/SHA256SUMS 2>/dev/null ||
    fail "SHA256SUMS.asc does not verify"
for name in qx-lp4r-updater.exe qx-lp4r-updater.com; do
    osslsigncode remove-signature -in "$program/$name" -out "stripped-$name" >/dev/null &&
        cmp -s "stripped-$name" "unsigned/$name" ||
        fail "$name with its signature removed differs from the unsigned build's"
done

# Each refusal: one line on standard error, exit 2, and no package in its folder.
while IFS='|' read -r expected password args; do
    # shellcheck disable=SC2086 # the options are words
    QX_SIGN_PASSWORD="$password" package refused $args
    status=$?
    [ "$status" -eq 2 ] && [ "$(wc -l <"$out/refused.err")" -eq 1 ] &&
        grep -q "$expected" "$out/refused.err" && [ -z "$(ls "$out/refused")" ] ||
        fail "$args: exit $status, $(cat "$out/refused.err"), left: $(ls "$out/refused")"
done <<ROWS
the certificate nosuch.pfx cannot be read|secret|--sign-with nosuch.pfx
cannot be opened: a wrong password|wrong|--sign-with signer.pfx
has expired|secret|--sign-with expired.pfx
cannot sign code|secret|--sign-with server.pfx
gpg has no secret key NOSUCHKEY|secret|--gpg-key NOSUCHKEY
ROWS

# Unsigned once more, into the signed release's folder: the same bytes as before, the tree as it
# was, and no signature left standing beside checksums it never signed.
package signed || fail "the unsigned release again"
[ ! -e signed/SHA256SUMS.asc ] || fail "a stale SHA256SUMS.asc stands beside new checksums"
cmp -s "$program/qx-lp4r-updater.exe" unsigned/qx-lp4r-updater.exe &&
    cmp -s "signed/$installer" "unsigned/$installer" ||
    fail "two unsigned builds differ"
