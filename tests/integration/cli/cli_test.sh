#!/usr/bin/env bash
# zovir-cli as a user runs it: a whole update of a virtual modem with JSON events, Ctrl-C during
# a run, a second copy while one runs, device checks that refuse a modem, questions answered
# from the command line, and four modems at once.
set -u
cli="$1"
packet="$2"
home="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$home"' EXIT
export ZOVIR_HOME="$home"
fail() { echo "FAIL: $*"; exit 1; }
. "$(dirname "$0")/../wait_for.sh"

no_work_left() {
  ! ls -d "$home"/run/quorvel-zovir-* > /dev/null 2>&1 || fail "$1: work folders left: $(ls "$home/run")"
}

# 0. Usage: the version, and clear words for a mistyped command or value.
"$cli" --version | grep -qE '^zovir-cli 1\.3\.5\.0 \(build 1\.3\.5\.0\+' || fail "--version: $("$cli" --version 2>&1)"
# arguments | exit code | text
while IFS='|' read -r args want text; do
  # shellcheck disable=SC2086
  "$cli" $args > "$home/usage.log" 2>&1
  rc=$?
  [ "$rc" -eq "$want" ] || fail "$args: exit code $rc, expected $want: $(cat "$home/usage.log")"
  grep -qF -- "$text" "$home/usage.log" || fail "$args: no \"$text\" in: $(cat "$home/usage.log")"
done <<CASES
flash --virtual|2|unknown command "flash"; the commands are: run, ports, check, history
run --virtual --wait -1|2|--wait: must be 0 or more
check --virtual --packet $home/nowhere|2|The packet folder $home/nowhere does not exist
run --virtual --slots 2 --sn ZV9X06100000|2|--sn restores one modem's backup: it cannot be used with more than one slot
--help|0|5 another copy of the tool runs
CASES
[ -z "$(ls -A "$home/Backup" 2>/dev/null)" ] || fail "a refused command took a backup"

# 1. A whole update: exit 0, only JSON lines, every event with its time and slot, progress only
#    when it changes, a PASS result with what a script needs, and a verification that holds.
"$cli" run --virtual --json > "$home/run.json" 2> "$home/run.err" || fail "run exited $?: $(tail -5 "$home/run.err")"
python3 - "$home/run.json" <<'PY' || fail "JSON output"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
assert events[0]["event"] == "start" and events[0]["schema"] == 1, events[0]
assert all("time" in e and "slot" in e for e in events), [e for e in events if "time" not in e or "slot" not in e]
results = [e for e in events if e["event"] == "result"]
assert len(results) == 1, results
r = results[0]
assert (r["slot"], r["result"], r["error_code"], r["error"]) == (0, "PASS", 0, ""), r
assert r["serial_number"] and r["packet_version"] == "BTM9X06_V1.0.0_R01", r
assert r["firmware_before"] == r["firmware_after"] == r["packet_version"] and r["verification"] == "verified", r
checks = [e for e in events if e["event"] == "verification"]
assert checks and checks[0]["partitions"] and checks[0]["data"], checks
progress = [(e["phase"], e["percent"]) for e in events if e["event"] == "progress"]
assert len(progress) == len(set(progress)) and len(progress) < 150, progress
assert [p for p, _ in progress if p == "images"], progress
PY
no_work_left "a whole update"

# 1b. A reader that goes away (| head) and a hang-up while the images are written do not end the
#     update: it goes on to PASS and leaves no work folder behind.
"$cli" run --virtual | head -1 > /dev/null
rc=${PIPESTATUS[0]}
[ "$rc" -eq 0 ] || fail "run | head: exit code $rc"
no_work_left "run | head"
"$cli" run --virtual --json > "$home/hup.json" 2>&1 &
pid=$!
wait_for "$home/hup.json" '"phase":"images"' 90 || fail "the run never reached the images"
kill -HUP "$pid"
wait "$pid"
rc=$?
[ "$rc" -eq 0 ] || fail "hang-up during the images: exit code $rc: $(tail -3 "$home/hup.json")"
grep -q '"result":"PASS"' "$home/hup.json" || fail "hang-up during the images: no PASS"
no_work_left "a hang-up"

# 1c. A modem that reports another firmware than the packet names after the engine's PASS: the
#     run fails with the mismatch, and its run log and backup stay, as after any failure.
cp -r "$packet" "$home/newer"
sed -i '0,/^Version=.*/s//Version=BTM9X06_V2.0.0_R01/' "$home/newer/Config.ini"
"$cli" run --virtual --packet "$home/newer" --json > "$home/mismatch.json" 2>&1
rc=$?
[ "$rc" -eq 1 ] || fail "version mismatch: exit code $rc, expected 1: $(tail -3 "$home/mismatch.json")"
python3 - "$home/mismatch.json" <<'PY' || fail "version mismatch: $(grep '"result"' "$home/mismatch.json")"
import json, os, sys
events = [json.loads(line) for line in open(sys.argv[1])]
r = [e for e in events if e["event"] == "result"][0]
assert (r["result"], r["error_code"], r["verification"]) == ("FAIL", 1001, "version mismatch"), r
assert r["firmware_after"] == "BTM9X06_V1.0.0_R01" and r["packet_version"] == "BTM9X06_V2.0.0_R01", r
assert os.path.isfile(r["log"]), r
log = open(r["log"], encoding="utf-8", errors="replace").read()
assert "PASS" in log and "version mismatch: the modem reports firmware BTM9X06_V1.0.0_R01" in log, log[-500:]
assert os.path.isfile(os.path.join(r["backup_folder"], "nv.bak")), r
assert os.path.basename(r["backup_folder"]) == "SN[%s]" % r["serial_number"], r
PY
no_work_left "a version mismatch"
rm -rf "$home"/Backup/*

# 2. Ctrl-C during the transfer: the engine ends cleanly, exit 4, the backup stays.
"$cli" run --virtual > "$home/stop.log" 2>&1 &
pid=$!
wait_for "$home/stop.log" "Phase: images" 60 || fail "the run never reached the download"
kill -INT "$pid"
wait "$pid"
rc=$?
[ "$rc" -eq 4 ] || fail "Ctrl-C exit code $rc, expected 4: $(tail -5 "$home/stop.log")"
ls "$home"/Backup/SN*/nv.bak > /dev/null 2>&1 || fail "the backup did not stay"
ls "$home"/Backup/SN*/EncryptAT.bak > /dev/null 2>&1 || fail "the identity backup did not stay"
# It says where the backup is and how to resume.
kept="$(ls -d "$home"/Backup/SN*)"
sn="${kept##*SN[}"
# The modem sits in its programmer: a replug comes first, or the restore finds no ready modem.
grep -qF "Stopped. The modem is in boot-loader mode: unplug it and plug it in again (zovir-cli ports shows its mode). The modem's backup was kept in $kept; to restore it after the replug: zovir-cli run --sn ${sn%]}" "$home/stop.log" ||
  fail "Ctrl-C: where the backup is and how to resume: $(tail -5 "$home/stop.log")"
no_work_left "Ctrl-C"
rm -rf "$home"/Backup/*

# 3. A second copy while one runs is refused. The first shows every line (-v), the port search's
#    and the AT probe's among them.
"$cli" run --virtual -v > "$home/first.log" 2>&1 &
pid=$!
wait_for "$home/first.log" "Modem: diagnostic port" 60 || fail "the first copy never found its modem"
"$cli" run --virtual > "$home/second.log" 2>&1
rc=$?
[ "$rc" -eq 5 ] || fail "second copy exit code $rc, expected 5"
grep -q "Upgrading procedures have been in operation!" "$home/second.log" || fail "second copy message: $(cat "$home/second.log")"
wait "$pid" || fail "the first run failed: $(tail -5 "$home/first.log")"
for line in "CheckForComPorts start" "Enum AT port start"; do
  grep -qF "$line" "$home/first.log" || fail "-v does not show the port search's \"$line\""
done
# 4. A packet that selects the USB boot path: the download thread starts with the tool and stops
#    cleanly at its end (no board attached).
cp -r "$packet" "$home/packet"
head -c 1000 /dev/urandom > "$home/packet/xload.bin"
sed -i 's/^\[DownloadItems\]/[DownloadItems]\nbSwitchFastbootMode=1/' "$home/packet/Config.ini"
"$cli" run --virtual --packet "$home/packet" > "$home/usb.log" 2>&1 || fail "USB boot run: $(tail -5 "$home/usb.log")"
grep -q "USB boot download started" "$home/usb.log" || fail "the USB boot thread did not start"
grep -q "USB boot download stopped" "$home/usb.log" || fail "the USB boot thread did not stop"

# 5. Checks that refuse before anything is written: exit code, message, and a modem that was
#    never touched (no partition written, no backup taken).
rm -rf "$home"/Backup/*
mkdir -p "$home/packets"
cp -r "$packet" "$home/packets/other-model"
sed -i 's/^Version=.*/Version=XYZ9X06_V1.0.0_R01/; s/^\[Project\]/[Project]\nbCheckProjectCode=1/' \
  "$home/packets/other-model/Config.ini"
mkdir -p "$home/packets/empty"
cp -r "$packet" "$home/packets/other-platform"
sed -i 's/^Platform=.*/Platform=MDM9200 (9200)/' "$home/packets/other-platform/Config.ini"
cp -r "$packet" "$home/packets/bad-config"
sed -i 's/^Platform=.*/Platform=MDM0000/' "$home/packets/bad-config/Config.ini"
# command | packet | exit code | text the output holds
while IFS='|' read -r cmd pk want text; do
  state="$home/state-$cmd-$pk"
  extra=()
  [ "$cmd" = run ] && extra=(--state "$state")
  "$cli" "$cmd" --virtual --packet "$home/packets/$pk" "${extra[@]}" > "$home/check.log" 2>&1
  rc=$?
  [ "$rc" -eq "$want" ] || fail "$cmd $pk: exit code $rc, expected $want: $(tail -5 "$home/check.log")"
  grep -qF "$text" "$home/check.log" || fail "$cmd $pk: no \"$text\" in: $(cat "$home/check.log")"
  ! grep -q "Syncing" "$home/check.log" || fail "$cmd $pk: a run began"
  [ -z "$(ls -A "$home/Backup")" ] || fail "$cmd $pk: a backup was taken"
  if [ -d "$state/slot0/partitions" ]; then
    [ -z "$(ls -A "$state/slot0/partitions")" ] || fail "$cmd $pk: the modem was written"
  fi
done <<'CASES'
run|other-model|1|[Warning] Could not update other irrelevant model device!
check|other-model|1|[Warning] Could not update other irrelevant model device!
run|bad-config|2|Config was wrong.Not support platform configuration.
check|bad-config|2|Config was wrong.Not support platform configuration.
check|other-platform|1|[Warning] Plantform type is not matched (the modem reports 8, the packet is for 0)
check|missing|2|does not exist
check|empty|2|No Config.ini in
CASES
cp -r "$packet" "$home/packets/good"
"$cli" check --virtual --packet "$home/packets/good" > "$home/check.log" 2>&1 || fail "check of a matching modem: $(cat "$home/check.log")"
grep -q "The modem passed the device checks." "$home/check.log" || fail "check: $(cat "$home/check.log")"
! grep -q "Not Ready" "$home/check.log" || fail "a passing check said Not Ready: $(cat "$home/check.log")"

# 6. The product that asks before it starts: --no and a run without a terminal stop right
#    there (nothing written, exit 4); --yes goes on to PASS.
cp -r "$packet" "$home/packets/asks"
sed -i 's/^Project=.*/Project=Corsent/' "$home/packets/asks/Config.ini"
for how in --no none; do
  args=()
  [ "$how" = none ] || args=("$how")
  "$cli" run --virtual --packet "$home/packets/asks" "${args[@]}" < /dev/null > "$home/ask.log" 2>&1
  rc=$?
  [ "$rc" -eq 4 ] || fail "question with $how: exit code $rc, expected 4: $(tail -5 "$home/ask.log")"
  grep -q "^Answer: Cancel" "$home/ask.log" || fail "question with $how: $(cat "$home/ask.log")"
  ! grep -q "Syncing" "$home/ask.log" || fail "question with $how: a run began"
  [ -z "$(ls -A "$home/Backup")" ] || fail "question with $how: a backup was taken"
done
grep -q "the safe choice" "$home/ask.log" || fail "the answer without --yes/--no does not say why"
# The guide and agreement pages of a product that shows them are asked the same way: --no and a
# run without a terminal decline them and end before anything is written.
cp -r "$packet" "$home/packets/guide"
sed -i 's/^Project=.*/Project=Torvane/' "$home/packets/guide/Config.ini"
for how in --no none; do
  args=()
  [ "$how" = none ] || args=("$how")
  "$cli" run --virtual --packet "$home/packets/guide" "${args[@]}" < /dev/null > "$home/guide.log" 2>&1
  rc=$?
  [ "$rc" -eq 4 ] || fail "guide with $how: exit code $rc, expected 4: $(tail -5 "$home/guide.log")"
  grep -q "^\[Mobile Upgrade Guide\] " "$home/guide.log" || fail "guide with $how: $(cat "$home/guide.log")"
  grep -q "^Answer: Cancel" "$home/guide.log" || fail "guide with $how: $(cat "$home/guide.log")"
  ! grep -q "Syncing" "$home/guide.log" || fail "guide with $how: a run began"
done
# On a terminal the question is asked there; "n" stops before anything is written.
python3 - "$cli" "$home/packets/asks" <<'PY' || fail "question on a terminal"
import os, pty, select, sys
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], [sys.argv[1], "run", "--virtual", "--packet", sys.argv[2]])
seen = b""
def read_until(marker, seconds):
    global seen
    while marker not in seen:
        ready, _, _ = select.select([fd], [], [], seconds)
        if not ready:
            raise SystemExit(f"no {marker!r} within {seconds} s: {seen[-300:]!r}")
        try:
            data = os.read(fd, 4096)
        except OSError:
            data = b""
        if not data:
            raise SystemExit(f"ended before {marker!r}: {seen[-300:]!r}")
        seen += data
read_until(b"? [y/N] ", 120)
os.write(fd, b"n\n")
read_until(b"Result: STOPPED", 120)
_, status = os.waitpid(pid, 0)
assert os.WEXITSTATUS(status) == 4, os.WEXITSTATUS(status)
assert b"Syncing" not in seen, "a run began"
PY
[ -z "$(ls -A "$home/Backup")" ] || fail "question on a terminal: a backup was taken"
"$cli" run --virtual --packet "$home/packets/asks" --yes > "$home/ask.log" 2>&1 || fail "--yes run: $(tail -5 "$home/ask.log")"
grep -q "^Answer: OK (--yes)" "$home/ask.log" || fail "--yes: $(head -10 "$home/ask.log")"
grep -q "^Result: PASS" "$home/ask.log" || fail "--yes: no PASS"

# 7. Four virtual modems at once, each through its own controller: four PASS, four verifications.
"$cli" run --virtual --slots 4 --json > "$home/slots.json" 2> "$home/slots.err" || fail "--slots 4 exited $?: $(tail -5 "$home/slots.err")"
python3 - "$home/slots.json" <<'PY' || fail "--slots 4 results"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
results = sorted((e["slot"], e["result"], e["error_code"]) for e in events if e["event"] == "result")
assert results == [(i, "PASS", 0) for i in range(4)], results
checks = {e["slot"]: e["partitions"] and e["data"] for e in events if e["event"] == "verification"}
assert checks == {i: True for i in range(4)}, checks
PY
# 8. The history holds every run that began, passing ones included, readable as text and JSON.
"$cli" history --json > "$home/history.json" || fail "history --json"
python3 - "$home/history.json" <<'PY' || fail "history: $(cat "$home/history.json")"
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1])][1:]
results = [r["result"] for r in rows]
assert all(r["event"] == "history" and r["run_time"] for r in rows), rows
assert results.count("PASS") >= 7 and "STOPPED" in results, results
assert all(r["serial_number"] for r in rows if r["result"] == "PASS"), rows
PY
"$cli" history | grep -q "PASS" || fail "history as text: $("$cli" history)"
echo "ok"
