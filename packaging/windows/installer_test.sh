#!/usr/bin/env bash
# The Windows installer under wine: built with makensis from the cross-built programs, signed
# with a throw-away certificate and verified, installed silently for the machine, the installed
# zovir-cli.exe asked for its version, uninstalled silently; afterwards nothing of it is left
# (files, Start-menu folder, uninstall entry) and a user's data is still there.
# Usage: installer_test.sh NSI BUILDDIR VERSION (WINEPREFIX set, the prefix made)
set -u
nsi="$1"
builddir="$2"
version="$3"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

c="$WINEPREFIX/drive_c"
program="$c/Program Files/Quorvel_ZOVIR"
menu="$c/ProgramData/Microsoft/Windows/Start Menu/Programs/Quorvel_ZOVIR"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvel_ZOVIR'
[ ! -e "$program" ] || fail "already installed: $program"

# A throw-away certificate and the signing the release build does with its own.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quorvel_ZOVIR test signing" \
  -keyout "$work/key.pem" -out "$work/cert.pem" > /dev/null 2>&1 || fail "no test certificate"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:test -out "$work/sign.p12" \
  || fail "no PKCS#12 file"
ZOVIR_SIGN_PKCS12="$work/sign.p12" ZOVIR_SIGN_PASSWORD=test ZOVIR_INSTALLER_FAST=1 \
  "$here/build_installer.sh" "$nsi" "$builddir" "$version" "$work" > "$work/build.log" 2>&1 \
  || { tail -20 "$work/build.log"; fail "the installer was not built"; }
setup="$work/quorvel-zovir-setup-$version.exe"
[ -f "$setup" ] || fail "no $setup"
osslsigncode verify -CAfile "$work/cert.pem" -in "$setup" > "$work/verify.log" 2>&1 \
  || { cat "$work/verify.log"; fail "the installer's signature does not verify"; }

# A user's data from earlier runs, which the uninstaller must leave.
user="${USER:-$(id -un)}"
data="$c/users/$user/AppData/Local/Quorvel_ZOVIR/Backup"
mkdir -p "$data"
echo kept > "$data/kept.txt"

wine "$setup" /S < /dev/null > "$work/install.log" 2>&1 || fail "silent install failed ($?)"
wineserver -w
[ -f "$program/zovir-cli.exe" ] || fail "zovir-cli.exe not installed"
[ -f "$program/uninstall.exe" ] || fail "no uninstaller"
[ -f "$menu/Quorvel_ZOVIR command line.lnk" ] || fail "no Start-menu entry"
wine reg query "$key" /v UninstallString < /dev/null > /dev/null 2>&1 || fail "no uninstall entry"
osslsigncode verify -CAfile "$work/cert.pem" -in "$program/uninstall.exe" > /dev/null 2>&1 \
  || fail "the uninstaller is not signed"

out="$(wine 'C:\Program Files\Quorvel_ZOVIR\zovir-cli.exe' --version < /dev/null 2>&1)"
case "$out" in
  *"zovir-cli $version"*) ;;
  *) fail "--version said: $out" ;;
esac

# The uninstaller copies itself away and runs from there: wait for every process of the prefix.
wine 'C:\Program Files\Quorvel_ZOVIR\uninstall.exe' /S < /dev/null > "$work/uninstall.log" 2>&1 \
  || fail "silent uninstall failed ($?)"
wineserver -w
[ ! -e "$program" ] || fail "left behind: $(ls -A "$program")"
[ ! -e "$menu" ] || fail "Start-menu folder left: $(ls -A "$menu")"
! wine reg query "$key" < /dev/null > /dev/null 2>&1 || fail "uninstall entry left"
[ "$(cat "$data/kept.txt" 2>/dev/null)" = kept ] || fail "a user's backup went with the programs"
rm -rf "$c/users/$user/AppData/Local/Quorvel_ZOVIR"
echo "installer: built, signed, installed, ran, uninstalled"
