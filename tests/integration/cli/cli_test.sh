#!/usr/bin/env bash
# zovir-cli as a user runs it: a whole update of a virtual modem with JSON events, Ctrl-C during
# a run, and a second copy while one runs.
set -u
cli="$1"
packet="$2"
home="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$home"' EXIT
export ZOVIR_HOME="$home"
fail() { echo "FAIL: $*"; exit 1; }

# 1. A whole update: exit 0, only JSON lines, a PASS result and a verification that holds.
"$cli" run --virtual --json > "$home/run.json" 2> "$home/run.err" || fail "run exited $?: $(tail -5 "$home/run.err")"
python3 - "$home/run.json" <<'PY' || fail "JSON output"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
results = [e for e in events if e["event"] == "result"]
assert results == [{"event": "result", "slot": 0, "result": "PASS", "error_code": 0}], results
checks = [e for e in events if e["event"] == "verification"]
assert checks and checks[0]["partitions"] and checks[0]["data"], checks
PY

# 2. Ctrl-C during the transfer: the engine ends cleanly, exit 4, the backup stays.
"$cli" run --virtual > "$home/stop.log" 2>&1 &
pid=$!
for _ in $(seq 1 600); do
  grep -q "Downloading" "$home/stop.log" && break
  sleep 0.1
done
grep -q "Downloading" "$home/stop.log" || fail "the run never reached the download"
kill -INT "$pid"
wait "$pid"
rc=$?
[ "$rc" -eq 4 ] || fail "Ctrl-C exit code $rc, expected 4: $(tail -5 "$home/stop.log")"
ls "$home"/Backup/SN*/nv.bak > /dev/null 2>&1 || fail "the backup did not stay"
ls "$home"/Backup/SN*/EncryptAT.bak > /dev/null 2>&1 || fail "the identity backup did not stay"
rm -rf "$home"/Backup/*

# 3. A second copy while one runs is refused.
"$cli" run --virtual > "$home/first.log" 2>&1 &
pid=$!
for _ in $(seq 1 600); do
  grep -q "Diagnostic port" "$home/first.log" && break
  sleep 0.1
done
"$cli" run --virtual > "$home/second.log" 2>&1
rc=$?
[ "$rc" -eq 1 ] || fail "second copy exit code $rc, expected 1"
grep -q "Upgrading procedures have been in operation!" "$home/second.log" || fail "second copy message: $(cat "$home/second.log")"
wait "$pid" || fail "the first run failed: $(tail -5 "$home/first.log")"
# 4. A packet that selects the USB boot path: the download thread starts with the tool and stops
#    cleanly at its end (no board attached).
cp -r "$packet" "$home/packet"
head -c 1000 /dev/urandom > "$home/packet/xload.bin"
sed -i 's/^\[DownloadItems\]/[DownloadItems]\nbSwitchFastbootMode=1/' "$home/packet/Config.ini"
"$cli" run --virtual --packet "$home/packet" > "$home/usb.log" 2>&1 || fail "USB boot run: $(tail -5 "$home/usb.log")"
grep -q "USB boot download started" "$home/usb.log" || fail "the USB boot thread did not start"
grep -q "USB boot download stopped" "$home/usb.log" || fail "the USB boot thread did not stop"
echo "ok"
