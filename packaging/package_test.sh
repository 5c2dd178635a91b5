#!/usr/bin/env bash
# The Debian package as a packager checks it: CPack builds it from this build tree; its file
# list holds the programs, udev rules, manual pages, completion and documents (and the window's
# desktop entry, icon and metainfo when the window is built); the packaged zovir-cli runs from
# a plain extraction; lintian reports no errors.
set -u
build="$1"
with_window="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 || fail "cpack: $(tail -20 "$work/cpack.log")"
deb="$(ls "$work"/out/*.deb 2>/dev/null | head -1)"
[ -n "$deb" ] || fail "no .deb: $(tail -20 "$work/cpack.log")"

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | sort > "$work/files"
expected=(/usr/bin/zovir-cli /usr/bin/zovir-modem-sim /usr/lib/udev/rules.d/70-zovir-modem.rules
  /usr/share/man/man1/zovir-cli.1.gz /usr/share/man/man1/zovir-modem-sim.1.gz
  /usr/share/bash-completion/completions/zovir-cli /usr/share/doc/quorvel-zovir/copyright
  /usr/share/doc/quorvel-zovir/changelog.gz /usr/share/doc/quorvel-zovir/json-events.md)
if [ "$with_window" = 1 ]; then
  expected+=(/usr/bin/quorvel-zovir /usr/share/man/man1/quorvel-zovir.1.gz
    /usr/share/applications/quorvel-zovir.desktop /usr/share/icons/hicolor/scalable/apps/quorvel-zovir.svg
    /usr/share/metainfo/io.github.quorvel.zovir.metainfo.xml)
fi
for f in "${expected[@]}"; do
  grep -qxF "$f" "$work/files" || fail "$f is not in the package: $(cat "$work/files")"
done
# Nothing of the build or the tests slips in.
! grep -E 'test|bench|fuzz|/include/|\.a$' "$work/files" || fail "build or test files in the package"

dpkg -x "$deb" "$work/root" || fail "dpkg -x"
"$work/root/usr/bin/zovir-cli" --version | grep -qE '^zovir-cli 1\.3\.5\.0 \(build 1\.3\.5\.0\+' ||
  fail "packaged zovir-cli --version: $("$work/root/usr/bin/zovir-cli" --version 2>&1)"
if [ "$with_window" = 1 ]; then
  "$work/root/usr/bin/quorvel-zovir" --version | grep -qE '^quorvel-zovir 1\.3\.5\.0 \(build ' ||
    fail "packaged quorvel-zovir --version: $("$work/root/usr/bin/quorvel-zovir" --version 2>&1)"
fi
dpkg-deb -f "$deb" Version | grep -qE '^1\.3\.5\.0\+' || fail "package version: $(dpkg-deb -f "$deb" Version)"
# Installing the tool must not pull ModemManager in (apt installs what a package recommends).
! dpkg-deb -f "$deb" Recommends Depends | grep -qi modemmanager || fail "ModemManager is recommended: $(dpkg-deb -f "$deb" Recommends)"
dpkg-deb -f "$deb" Suggests | grep -q modemmanager || fail "ModemManager is not suggested"

lintian --fail-on error --tag-display-limit 0 "$deb" > "$work/lintian.log" 2>&1 || fail "lintian: $(cat "$work/lintian.log")"
grep -E '^E:' "$work/lintian.log" && fail "lintian errors"
echo "ok ($(wc -l < "$work/files") entries; lintian: $(grep -c '^W:' "$work/lintian.log") warnings)"
