#!/usr/bin/env bash
# zovir-cli run --virtual --state: what the verification compares, and a kept modem state that
# is taken as it is. What the modem holds is read with zovir-modem-sim --show.
set -u
sim="$1"
cli="$2"
packet="$3"
home="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$home"' EXIT
export ZOVIR_HOME="$home/tool"
fail() { echo "FAIL: $*"; exit 1; }
. "$(dirname "$0")/../wait_for.sh"
held() { "$sim" --show "$1" | grep -E '^(nv|rf|identity|efs-file|efs-folder) ' | grep -v '^identity CFUN='; }

# 1. The verification covers every value the modem holds below the preserved paths: the user
#    files, each file and folder of the preserved folder, the oscillator files.
state="$home/state"
"$cli" run --virtual --state "$state" --packet "$packet" --json > "$home/run.json" 2> "$home/run.err" ||
  fail "run exited $?: $(tail -5 "$home/run.err")"
python3 - "$home/run.json" <<'PY' || fail "verification: $(grep verification "$home/run.json")"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
check = [e for e in events if e["event"] == "verification"][0]
assert check["data"], check
for line in ("EFS files 9/9 as before", "EFS folders 2/2 as before"):
    assert line in check["lines"], (line, check["lines"])
PY

# 2. A modem that lost values (as a failed run can leave it) keeps them lost when the tool runs
#    on it again: nothing fills it anew.
python3 - "$state/slot0" <<'PY' || fail "could not take values from the state"
import os, sys
d = sys.argv[1]
def drop(name, keep):
    lines = open(os.path.join(d, name)).read().splitlines()
    open(os.path.join(d, name), "w").write("\n".join(l for l in lines if keep(l)) + "\n")
drop("identity.ini", lambda l: not l.startswith("SN="))
drop("nv.ini", lambda l: not l.startswith("141="))
os.remove(os.path.join(d, "efs/cfg/user.ini"))
PY
held "$state/slot0" > "$home/lost.txt"
"$cli" run --virtual --state "$state" --packet "$packet" --yes > "$home/rerun.log" 2>&1
held "$state/slot0" > "$home/rerun.txt"
! grep -q '^identity SN=' "$home/rerun.txt" || fail "the lost serial number came back"
! grep -q '^nv 141 ' "$home/rerun.txt" || fail "the lost NV item came back"
! grep -q '^efs-file /cfg/user.ini ' "$home/rerun.txt" || fail "the lost user file came back"
grep -q '^identity IMEI=' "$home/rerun.txt" || fail "the IMEI went: $(tail -5 "$home/rerun.log")"

# 3. A run stopped while it writes the images leaves its backup and a modem that lost its data;
#    a user file is changed on top. The restore from the saved backup is compared with what the
#    modem held before the stopped run, and must give all of it back.
state="$home/state2"
"$cli" run --virtual -v --state "$state" > "$home/stop.log" 2>&1 &
pid=$!
wait_for "$home/stop.log" "download over" 60 || fail "the run never wrote an image"
kill -INT "$pid"
wait "$pid"
rc=$?
[ "$rc" -eq 4 ] || fail "Ctrl-C exit code $rc, expected 4: $(tail -5 "$home/stop.log")"
! grep -q '^141=' "$state/slot0/nv.ini" || fail "the modem did not lose its NV items"
printf 'changed' > "$state/slot0/efs/cfg/user.ini"
"$cli" run --virtual --state "$state" --packet "$packet" --sn ZV9X06100000 --json > "$home/restore.json" 2> "$home/restore.err" ||
  fail "--sn exited $?: $(grep -E 'verification|error' "$home/restore.json" | tail -3)"
python3 - "$home/restore.json" <<'PY' || fail "--sn verification: $(grep verification "$home/restore.json")"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
check = [e for e in events if e["event"] == "verification"][0]
assert check["data"], check
nv = [l for l in check["lines"] if l.startswith("NV items ")][0]
assert not nv.startswith("NV items 0/"), nv
PY
echo "ok"
