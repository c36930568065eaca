#!/usr/bin/env bash
# Signs one Windows binary in place with a code-signing certificate, without a timestamp (a
# signer with network access can add one with osslsigncode's -t or -ts options).
# Usage: sign-file.sh <certificate.p12> <password-file> <binary>
# The password file holds the PKCS#12 file's password on its first line (it stays off command
# lines and out of the CMake cache).
set -euo pipefail
if [ "$#" -ne 3 ]; then
  echo "usage: $0 <certificate.p12> <password-file> <binary>" >&2
  exit 2
fi
certificate=$1 password_file=$2 binary=$3
signed="$binary.signing"
rm -f "$signed"
osslsigncode sign -pkcs12 "$certificate" -readpass "$password_file" -h sha256 \
  -n "Aerolumen for Prepar3D v4" -in "$binary" -out "$signed" >/dev/null
mv -f "$signed" "$binary"
