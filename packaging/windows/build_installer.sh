#!/usr/bin/env bash
# Builds quorvel-zovir-setup-VERSION.exe in OUTDIR from the programs of the Windows build in
# BUILDDIR (zovir-cli.exe, and the window's quorvel-zovir.exe where it was built). With
# ZOVIR_SIGN_PKCS12 (a PKCS#12 file) and ZOVIR_SIGN_PASSWORD in the environment, the programs,
# the uninstaller and the installer are signed with osslsigncode (time-stamped when
# ZOVIR_SIGN_TIMESTAMP_URL names a time-stamp server); without them nothing is signed.
# ZOVIR_INSTALLER_FAST=1 compresses quickly rather than small (for tests).
# Usage: build_installer.sh NSI BUILDDIR VERSION OUTDIR
set -euo pipefail
nsi="$1"
builddir="$(cd "$2" && pwd)"
version="$3"
outdir="$(cd "$4" && pwd)"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT

sign_args=()
if [ -n "${ZOVIR_SIGN_PKCS12:-}" ]; then
  sign_args=(-pkcs12 "$ZOVIR_SIGN_PKCS12" -pass "${ZOVIR_SIGN_PASSWORD:-}" -n Quorvel_ZOVIR -h sha256)
  [ -n "${ZOVIR_SIGN_TIMESTAMP_URL:-}" ] && sign_args+=(-ts "$ZOVIR_SIGN_TIMESTAMP_URL")
fi
sign() {  # sign FILE: in place
  [ ${#sign_args[@]} -gt 0 ] || return 0
  osslsigncode sign "${sign_args[@]}" -in "$1" -out "$1.signed" > /dev/null
  mv "$1.signed" "$1"
}

for program in src/ui/cli/zovir-cli.exe src/ui/qt/quorvel-zovir.exe; do
  if [ -f "$builddir/$program" ]; then
    cp "$builddir/$program" "$stage/"
    sign "$stage/$(basename "$program")"
  fi
done
[ -f "$stage/zovir-cli.exe" ] || { echo "no zovir-cli.exe in $builddir" >&2; exit 1; }
defines=(-DVERSION="$version" -DBINDIR="$stage" -DOUTDIR="$outdir")
[ "${ZOVIR_INSTALLER_FAST:-}" = 1 ] && defines+=(-DFAST)
if [ ${#sign_args[@]} -gt 0 ]; then
  # makensis runs this on the uninstaller before packing it ("%1" is the file); the password
  # stays in the environment rather than on a command line.
  printf '#!/bin/sh\nexec "%s" "%s" "$1"\n' "$(command -v bash)" "$stage/sign_one.sh" > "$stage/sign"
  {
    echo '#!/usr/bin/env bash'
    echo 'set -e'
    printf 'osslsigncode sign -pkcs12 %q -pass "$ZOVIR_SIGN_PASSWORD" -n Quorvel_ZOVIR -h sha256' "$ZOVIR_SIGN_PKCS12"
    [ -n "${ZOVIR_SIGN_TIMESTAMP_URL:-}" ] && printf ' -ts %q' "$ZOVIR_SIGN_TIMESTAMP_URL"
    echo ' -in "$1" -out "$1.signed" > /dev/null'
    echo 'mv "$1.signed" "$1"'
  } > "$stage/sign_one.sh"
  chmod +x "$stage/sign" "$stage/sign_one.sh"
  defines+=(-DSIGN="$stage/sign %1")
fi
makensis -V2 "${defines[@]}" "$nsi"
sign "$outdir/quorvel-zovir-setup-$version.exe"
echo "$outdir/quorvel-zovir-setup-$version.exe"
