# Signing a release, sourced by scripts/package: each check refuses in one line, before anything
# is built.

refuse() {
    echo "scripts/package: $*" >&2
    exit 2
}

# prepare_authenticode CERT.pfx PASSWORD_FILE TIMESTAMP_URL DIR: checks the certificate, and
# prints the path of a script in DIR that signs each file it is given in place. The password
# comes from PASSWORD_FILE, or else from QX_SIGN_PASSWORD, and is never put on a command line.
prepare_authenticode() {
    local cert="$1" passfile="$2" timestamp="$3" dir="$4"
    [ -f "$cert" ] && [ -r "$cert" ] || refuse "the certificate $cert cannot be read"
    cert="$(realpath -- "$cert")"
    if [ -n "$passfile" ]; then
        [ -f "$passfile" ] && [ -r "$passfile" ] || refuse "the password file $passfile cannot be read"
        passfile="$(realpath -- "$passfile")"
    elif [ -n "${QX_SIGN_PASSWORD+set}" ]; then
        passfile="$dir/password"
        (umask 077 && printf '%s' "$QX_SIGN_PASSWORD" >"$passfile")
    else
        refuse "the certificate's password: give --sign-password-file FILE or set QX_SIGN_PASSWORD"
    fi
    # The signer's certificate, as OpenSSL reads it (older .pfx files need its legacy ciphers).
    openssl pkcs12 -in "$cert" -passin "file:$passfile" -nokeys -clcerts -out "$dir/signer.pem" \
        2>/dev/null ||
        openssl pkcs12 -legacy -in "$cert" -passin "file:$passfile" -nokeys -clcerts \
            -out "$dir/signer.pem" 2>/dev/null ||
        refuse "the certificate $cert cannot be opened: a wrong password, or not a PKCS#12 (.pfx) file"
    openssl x509 -in "$dir/signer.pem" -noout -checkend 0 >/dev/null ||
        refuse "the certificate $cert has expired ($(openssl x509 -in "$dir/signer.pem" -noout -enddate))"
    openssl x509 -in "$dir/signer.pem" -noout -ext extendedKeyUsage 2>/dev/null |
        grep -q "Code Signing" ||
        refuse "the certificate $cert cannot sign code: its extended key usage lacks Code Signing"
    local script="$dir/sign"
    {
        echo '#!/usr/bin/env bash'
        echo '# Signs each file it is given in place, with the release certificate.'
        echo 'set -e'
        echo 'for file; do'
        printf '    osslsigncode sign -pkcs12 %q -readpass %q -h sha256 -n %q %s \\\n' \
            "$cert" "$passfile" "QX-LP4R Firmware Updater" \
            "${timestamp:+-ts $(printf '%q' "$timestamp")}"
        echo '        -in "$file" -out "$file.signed" >/dev/null'
        echo '    mv -f "$file.signed" "$file"'
        echo 'done'
    } >"$script"
    chmod 700 "$script"
    echo "$script"
}

# check_gpg_key ID: gpg holds the secret key ID.
check_gpg_key() {
    gpg --batch --list-secret-keys -- "$1" >/dev/null 2>&1 ||
        refuse "gpg has no secret key $1"
}
