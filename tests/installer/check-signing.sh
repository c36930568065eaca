#!/usr/bin/env bash
# Signs the shipped binaries and a setup made from the same script with a throwaway self-signed
# certificate, made here, the way a build given WB_SIGN_PKCS12 signs them (cmake/sign-file.sh,
# and makensis with SIGN_COMMAND for the setup and its uninstaller); then checks every signature
# with `osslsigncode verify` against that certificate, and, for a build without a certificate
# (build-signed = no), that its launcher fails the same check.
# Usage: check-signing.sh <build-signed: yes|no> <sign-file.sh> <makensis> <setup.nsi> <launcher>
#                         <dll> <probe> <makensis defines...>
# (internal) check-signing.sh --sign-and-keep <sign-file.sh> <p12> <password-file> <keep-dir> <file>
set -euo pipefail

if [ "${1:-}" = "--sign-and-keep" ]; then
  # Called by makensis for the uninstaller and the setup: sign, and keep a copy to verify.
  bash "$2" "$3" "$4" "$6"
  cp "$6" "$5/$(date +%s%N)-$(basename "$6")"
  exit 0
fi

build_signed=$1 sign_file=$2 makensis=$3 script=$4 launcher=$5 dll=$6 probe=$7
shift 7
work=$(mktemp -d "${TMPDIR:-/tmp}/check-signing.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/kept"

printf 'throwaway-%s\n' "$RANDOM$RANDOM" >"$work/password"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$work/key.pem" -out "$work/cert.pem" \
  -subj "/CN=Aerolumen throwaway test signer" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/signer.p12" \
  -passout "file:$work/password"

for binary in "$launcher" "$dll" "$probe"; do
  cp "$binary" "$work/"
  bash "$sign_file" "$work/signer.p12" "$work/password" "$work/$(basename "$binary")"
done
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
"$makensis" -V2 "$@" "-DOUTFILE=$work/setup.exe" \
  "-DSIGN_COMMAND=bash \"$self\" --sign-and-keep \"$sign_file\" \"$work/signer.p12\" \"$work/password\" \"$work/kept\"" \
  "$script" >"$work/makensis.log" 2>&1 || { cat "$work/makensis.log"; exit 1; }

status=0
verify() {
  if osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1; then
    echo "signed and verified: $2"
  else
    echo "FAILED verification: $2"
    sed 's/^/    /' "$work/verify.log"
    status=1
  fi
}
for binary in "$launcher" "$dll" "$probe"; do
  verify "$work/$(basename "$binary")" "$(basename "$binary")"
done
verify "$work/setup.exe" "setup"
kept=("$work"/kept/*)
# makensis signs the uninstaller first, then the finished setup.
if [ "${#kept[@]}" -ne 2 ]; then
  echo "FAILED: makensis signed ${#kept[@]} files, expected the uninstaller and the setup"
  status=1
fi
verify "${kept[0]}" "uninstaller inside the setup"
if [ "$build_signed" = yes ]; then
  echo "the build signs with its own certificate: its launcher is not checked here"
elif osslsigncode verify -CAfile "$work/cert.pem" -in "$launcher" >/dev/null 2>&1; then
  echo "FAILED: the unsigned build's launcher passes verification"
  status=1
else
  echo "unsigned by default: $(basename "$launcher")"
fi
exit $status
