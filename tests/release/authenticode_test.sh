#!/usr/bin/env bash
# scripts/release with Authenticode signing, end to end, against a throwaway CA made here:
#     tests/release/authenticode_test.sh VERIFY_TRUST_EXE     (tests/release/verify_trust.cpp, built)
# 1. Each refusal ends the release with its message before anything is built: a cmake put in front of
#    PATH records any build, and no DIR may appear.
# 2. A release signed with a certificate chain and its key, timestamped by a local RFC 3161 server
#    (openssl ts behind a loopback HTTP server): osslsigncode verifies signature and timestamp against
#    the CA; Windows' WinVerifyTrust under Wine accepts it, and reports TRUST_E_BAD_DIGEST once one byte is
#    changed; removing the signature gives the unsigned bytes named in BUILDINFO; 7za.exe is not signed.
# 3. A release signed from a PKCS#12 file while DIR appears: refused at the rename, after the signing,
#    and DIR is left as it was.
# Two release builds in all. The Wine prefix and the files are throwaway, removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/lib/welkara.sh"
verify_trust=$(realpath "${1:?usage: tests/release/authenticode_test.sh VERIFY_TRUST_EXE}")
[ -f "$verify_trust" ] || { echo "authenticode_test: $verify_trust is missing" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/welkara-authenticode-test.XXXXXX")
watcher="" tsa=""
cleanup() {
    set +e
    [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
    [ -n "$tsa" ] && kill "$tsa" 2>/dev/null
    welkara_teardown
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() {  # check DESCRIPTION COMMAND...: runs the command, reports it
    if "${@:2}"; then
        echo "ok:   $1"
    else
        echo "FAIL: $1" >&2
        failures=$((failures + 1))
    fi
}
contains() { grep -qF -- "$2" "$1"; }
fails() { ! "$@"; }

# The CA: a root, an intermediate, and certificates issued by the intermediate.
pki=$work/pki
mkdir -p "$pki/issued"
touch "$pki/index.txt"
echo 01 >"$pki/serial"
cat >"$pki/ca.cnf" <<EOF
[ca]
default_ca = test_ca
[test_ca]
database = $pki/index.txt
new_certs_dir = $pki/issued
serial = $pki/serial
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[code]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[server]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
[tsa]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
EOF
at() { date -u -d "$1" +%Y%m%d%H%M%SZ; }
issue() {  # issue NAME EXTENSIONS ISSUER FROM UNTIL: NAME.key (mode 0600) and NAME.pem; ISSUER "self" for a root
    local name=$1 extensions=$2 issuer=$3 signer
    (umask 077 && openssl req -new -newkey rsa:2048 -nodes -keyout "$pki/$name.key" -subj "/CN=Welkara test $name" \
        -out "$pki/$name.csr" 2>/dev/null)
    if [ "$issuer" = self ]; then
        signer=(-selfsign -keyfile "$pki/$name.key")
    else
        signer=(-cert "$pki/$issuer.pem" -keyfile "$pki/$issuer.key")
    fi
    openssl ca -batch -notext -config "$pki/ca.cnf" "${signer[@]}" -extensions "$extensions" -in "$pki/$name.csr" \
        -out "$pki/$name.pem" -startdate "$(at "$4")" -enddate "$(at "$5")" >/dev/null 2>&1
}
issue root root self '-1 day' '+30 days'
issue intermediate intermediate root '-1 day' '+30 days'
issue code code intermediate '-1 hour' '+1 day'
issue other code intermediate '-1 hour' '+1 day'
issue expired code intermediate '-2 days' '-1 hour'
issue future code intermediate '+1 day' '+2 days'
issue server server intermediate '-1 hour' '+1 day'
issue tsa tsa intermediate '-1 hour' '+1 day'
cat "$pki/code.pem" "$pki/intermediate.pem" >"$pki/code-chain.pem"  # the signing certificate first
cp "$pki/code.key" "$pki/open.key" && chmod 644 "$pki/open.key"
cp "$pki/code.key" "$pki/group.key" && chmod 640 "$pki/group.key"
(umask 077 && echo 'a pass phrase' >"$pki/pfx.pass" && echo 'another one' >"$pki/wrong.pass")
cp "$pki/pfx.pass" "$pki/group.pass" && chmod 640 "$pki/group.pass"
(umask 077 && openssl pkcs12 -export -in "$pki/code.pem" -inkey "$pki/code.key" -certfile "$pki/intermediate.pem" \
    -passout "file:$pki/pfx.pass" -out "$pki/code.pfx")

public_key=$("$root/scripts/make-test-key" "$work/package-key")
release() {  # release DIR OPTIONS...: scripts/release of the work tree as it is, output in DIR.log
    local out=$1
    shift
    "$root/scripts/release" --allow-dirty --public-key "$public_key" \
        --store-url "$(welkara_store_url)" --out "$out" "$@" >"$out.log" 2>&1
}

echo "== refusals, before anything is built"
stubs=$work/stubs
mkdir -p "$stubs"
printf '#!/bin/sh\ntouch "%s/built"\nexit 1\n' "$stubs" >"$stubs/cmake"
chmod 755 "$stubs/cmake"
cert=(--authenticode-cert "$pki/code-chain.pem")
key=(--authenticode-key "$pki/code.key")
pfx=(--authenticode-pfx "$pki/code.pfx")
# what is refused | options (no blanks in the paths) | the message's telling part
refusals=(
    "a certificate without its key|${cert[*]}|--authenticode-cert and --authenticode-key go together"
    "a key without its certificate|${key[*]}|--authenticode-cert and --authenticode-key go together"
    "another certificate's key|${cert[*]} --authenticode-key $pki/other.key|does not belong to the signing certificate"
    "an expired certificate|--authenticode-cert $pki/expired.pem --authenticode-key $pki/expired.key|has expired"
    "a certificate not valid yet|--authenticode-cert $pki/future.pem --authenticode-key $pki/future.key|is not valid yet"
    "a certificate for servers only|--authenticode-cert $pki/server.pem --authenticode-key $pki/server.key|is not for code signing"
    "a key file others can read|${cert[*]} --authenticode-key $pki/open.key|are too open: it must be readable by its owner alone; run chmod 600 $pki/open.key"
    "a key file its group can read|${cert[*]} --authenticode-key $pki/group.key|are too open: it must be readable by its owner alone; run chmod 600 $pki/group.key"
    "a password file its group can read|${pfx[*]} --authenticode-pass-file $pki/group.pass|are too open: it must be readable by its owner alone; run chmod 600 $pki/group.pass"
    "a PKCS#12 file with the wrong password|${pfx[*]} --authenticode-pass-file $pki/wrong.pass|cannot be read with the password"
    "a PKCS#12 file without a password file|${pfx[*]}|--authenticode-pfx needs --authenticode-pass-file"
    "a PKCS#12 file and a certificate|${pfx[*]} --authenticode-pass-file $pki/pfx.pass ${cert[*]} ${key[*]}|give it instead of"
    "a timestamp server that is not http(s)|${cert[*]} ${key[*]} --timestamp-url ftp://tsa.invalid|--timestamp-url must be"
)
refused() {  # refused MESSAGE OPTIONS...
    local message=$1
    shift
    rm -f "$stubs/built"
    PATH=$stubs:$PATH release "$work/refused" "$@" && return 1
    contains "$work/refused.log" "$message" && [ ! -e "$work/refused" ] && [ ! -e "$stubs/built" ] && return 0
    sed 's/^/      /' "$work/refused.log" >&2
    return 1
}
for row in "${refusals[@]}"; do
    IFS='|' read -r what words message <<<"$row"
    read -ra options <<<"$words"
    check "refused, nothing built: $what" refused "$message" "${options[@]}"
done

echo "== a release signed with a certificate chain and its key, timestamped (one build)"
cat >"$pki/tsa.cnf" <<EOF
[tsa]
default_tsa = test_tsa
[test_tsa]
serial = $pki/tsa.serial
signer_cert = $pki/tsa.pem
certs = $pki/intermediate.pem
signer_key = $pki/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
ess_cert_id_alg = sha256
EOF
# The time-stamping server: each POSTed request answered by openssl ts; its port is its first line.
python3 "$root/tests/release/timestamp_server.py" "$pki/tsa.cnf" >"$work/tsa.port" &
tsa=$!
for _ in $(seq 100); do [ -s "$work/tsa.port" ] && break; sleep 0.1; done
timestamp_url=http://127.0.0.1:$(head -n 1 "$work/tsa.port")
signed=$work/signed
if ! release "$signed" "${cert[@]}" "${key[@]}" --timestamp-url "$timestamp_url"; then
    cat "$signed.log" >&2
    echo "FAIL: scripts/release with --authenticode-cert and --authenticode-key" >&2
    exit 1
fi
echo "ok:   scripts/release with --authenticode-cert and --authenticode-key"
installer=$signed/Installer.exe
osslsigncode verify -CAfile "$pki/root.pem" -TSA-CAfile "$pki/root.pem" -in "$installer" >"$work/verify.log" 2>&1 || true
check "osslsigncode verify against the test CA" contains "$work/verify.log" "Signature verification: ok"
check "the timestamp verifies against the test CA" \
    contains "$work/verify.log" "Timestamp Server Signature verification: ok"
check "the signature is SHA-256" grep -qE "^Message digest algorithm *: SHA256" "$work/verify.log"
check "the signature names the program" contains "$work/verify.log" "Text description: Orvanta Welkara installer"
check "SHA256SUMS lists the shipped files" bash -c "cd '$signed' && sha256sum --quiet -c SHA256SUMS"
osslsigncode remove-signature -in "$installer" -out "$work/stripped.exe" >/dev/null 2>&1
unsigned_sum=$(sed -n 's/^unsigned Installer.exe sha256: //p' "$signed/BUILDINFO")
check "removing the signature gives the unsigned bytes BUILDINFO names" \
    test "$(sha256sum <"$work/stripped.exe" | cut -d' ' -f1)" = "$unsigned_sum"
check "7za.exe is shipped as pinned, unsigned" \
    cmp -s "$signed/7za.exe" "$(welkara_7za_exe)"

echo "== WinVerifyTrust under Wine"
cp "$installer" "$work/changed.exe"
middle=$(($(stat -c %s "$installer") / 2))  # inside the sections, far from the signature at the end
byte=$(od -An -tu1 -j "$middle" -N 1 "$installer")
# shellcheck disable=SC2059 # the format is the one byte, as an octal escape
printf "\\$(printf %03o $((byte ^ 1)))" | dd of="$work/changed.exe" bs=1 seek="$middle" conv=notrunc status=none
welkara_prefix_up "$work/wineprefix" >/dev/null
# file | what it is | WinVerifyTrust's result
trust_cases=(
    "$installer|the signed Installer.exe|0x00000000"
    "$work/changed.exe|with one byte changed (TRUST_E_BAD_DIGEST)|0x80096010"
    "$work/stripped.exe|with its signature removed (TRUST_E_NOSIGNATURE)|0x800B0100"
)
for row in "${trust_cases[@]}"; do
    IFS='|' read -r file what expected <<<"$row"
    got=$(wine "$verify_trust" "$file" </dev/null 2>/dev/null | tr -d '\r') || true
    check "WinVerifyTrust gives $expected for $what (got ${got:-nothing})" test "$got" = "$expected"
done
welkara_teardown

echo "== a release signed from a PKCS#12 file, while DIR appears (one build)"
appeared=$work/appeared
# DIR is made, empty, as soon as the release has made its folder beside it: a plain rename would
# replace an empty folder.
(
    for _ in $(seq 6000); do
        if compgen -G "$work/.appeared.partial.*" >/dev/null; then
            mkdir "$appeared"
            exit 0
        fi
        sleep 0.1
    done
) &
watcher=$!
check "scripts/release with --authenticode-pfx is refused at the end" \
    fails release "$appeared" "${pfx[@]}" --authenticode-pass-file "$pki/pfx.pass"
wait "$watcher" || true
watcher=""
check "the refusal says DIR appeared, after the PKCS#12 signing went through" \
    contains "$appeared.log" "$appeared appeared while the release was built"
check "DIR is left as it was, empty" test -d "$appeared" -a -z "$(ls -A "$appeared")"
check "no assembled folder is left beside DIR" bash -c "! compgen -G '$work/.appeared.partial.*'"

if [ "$failures" -gt 0 ]; then
    echo "authenticode_test: $failures checks failed" >&2
    exit 1
fi
echo "authenticode_test: every check passed"
