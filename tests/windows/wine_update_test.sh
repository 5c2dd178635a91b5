#!/usr/bin/env bash
# zovir-cli.exe under wine updates zovir-modem-sim, which runs on Linux pseudo-terminals: the
# simulator names its ports in a device map, com_links.py turns each of them into one of wine's
# COM ports (a link in the prefix's device folder) for as long as it is there, and the tool finds
# them through the same map (ZOVIR_DEVICE_MAP), so the Windows serial code, the engine and the
# protocols meet the modem as they do on Linux. An update must pass and leave the modem holding
# exactly what it held before; a failed one must keep its backup, and the restore from it must
# give every value back.
# Usage: wine_update_test.sh SIM CLI.EXE PACKET (WINEPREFIX set, the prefix made)
set -u
sim="$1"
cli="$2"
packet="$3"
here="$(cd "$(dirname "$0")" && pwd)"
home="$(mktemp -d)"
trap '[ -n "${simpid:-}" ] && kill "$simpid" 2>/dev/null; wait 2>/dev/null; rm -rf "$home"' EXIT
fail() { echo "FAIL: $*"; [ -f "$home/sim.log" ] && tail -5 "$home/sim.log"; exit 1; }
# wine shows the Linux file system as drive Z:.
windows() { printf 'Z:%s' "${1//\//\\}"; }
map="$home/ports.ini"
state="$home/modem"

. "$here/../integration/modem_sim.sh"

# A new modem leaves the factory with its data; a first start fills the state.
start_sim
stop_sim
held "$home/before.txt"
sn="$(sed -n 's/^identity SN=//p' "$home/before.txt")"
[ -n "$sn" ] || fail "the factory modem has no serial number"

# The tool's folders below one Windows path, as a user's are below %LOCALAPPDATA%.
update() {
  local log="$1"
  shift
  ZOVIR_HOME="$(windows "$home/tool")" ZOVIR_DEVICE_MAP="$(windows "$map")" \
    python3 "$here/com_links.py" "$map" wine "$cli" run --yes --packet "$(windows "$packet")" "$@" > "$log" 2>&1
}

# 1. An update: PASS, the images in the partitions, the data as before, the run in the history.
start_sim
update "$home/run.log" || fail "run exited $?: $(tail -15 "$home/run.log")"
grep -q "^Result: PASS" "$home/run.log" || fail "no PASS: $(tail -15 "$home/run.log")"
stop_sim
"$sim" --show "$state" --compare "$packet" > "$home/compare.txt" || fail "partitions: $(cat "$home/compare.txt")"
held "$home/after.txt"
diff "$home/before.txt" "$home/after.txt" > "$home/diff.txt" || fail "the modem changed: $(head -5 "$home/diff.txt")"
grep -q '"PASS"' "$home/tool/history.jsonl" || fail "the run is not in the history: $(cat "$home/tool/history.jsonl")"
echo "update passed after ${SECONDS} s"

# 2. A run that fails once the modem has forgotten its data: FAIL, and the backup stays.
start_sim --fault "write@5+=error"
update "$home/fail.log" && fail "the failed run exited 0"
grep -q "^Result: FAIL" "$home/fail.log" || fail "no FAIL: $(tail -15 "$home/fail.log")"
stop_sim
[ -f "$home/tool/Backup/SN[$sn]/nv.bak" ] || fail "the backup of $sn did not stay: $(ls -R "$home/tool" | head -20)"
ls "$home/tool/logs/"*.log > /dev/null 2>&1 || fail "the failed run's log did not stay"
echo "failed run kept its backup after ${SECONDS} s"

# 3. The restore from the saved backup: PASS, and every value the modem held is back.
start_sim
update "$home/restore.log" --sn "$sn" || fail "--sn run exited $?: $(tail -15 "$home/restore.log")"
grep -q "^Result: PASS" "$home/restore.log" || fail "--sn: no PASS: $(tail -15 "$home/restore.log")"
stop_sim
held "$home/restored.txt"
diff "$home/before.txt" "$home/restored.txt" > "$home/diff.txt" || fail "not restored: $(head -5 "$home/diff.txt")"
echo "restored after ${SECONDS} s"
