#!/usr/bin/env bash
# zovir-modem-sim started as a program and zovir-cli run without --virtual, finding the modem's
# ports through ZOVIR_DEVICE_MAP: an update that passes and leaves the modem holding exactly
# what it held before, a run that fails after the modem lost its data, the restore from the
# saved backup (--sn) that gives every value back, and a modem that still reports its old
# firmware afterwards. What the modem holds is read with zovir-modem-sim --show, from the state
# folder the simulator kept.
. "$(dirname "$0")/setup.sh" "$@"

# A new modem leaves the factory with its data; a first start fills the state.
start_sim
stop_sim
held "$home/before.txt"
for kind in nv rf identity efs-file efs-folder; do
  grep -q "^$kind " "$home/before.txt" || fail "the factory modem holds no $kind values"
done
sn="$(sed -n 's/^identity SN=//p' "$home/before.txt")"
[ -n "$sn" ] || fail "the factory modem has no serial number"

# 1. An update across the two programs: PASS, the images in the partitions, the data as before.
start_sim
update "$home/run.log" || fail "run exited $?: $(tail -5 "$home/run.log")"
grep -q "^Result: PASS" "$home/run.log" || fail "no PASS: $(tail -5 "$home/run.log")"
stop_sim
"$sim" --show "$state" --compare "$packet" > "$home/compare.txt" || fail "partitions: $(cat "$home/compare.txt")"
held "$home/after.txt"
diff "$home/before.txt" "$home/after.txt" > "$home/diff.txt" || fail "the modem changed: $(head -5 "$home/diff.txt")"
grep -q "Backup" "$home/run.log" || grep -q "backup" "$home/run.log" || fail "no backup was taken: $(cat "$home/run.log")"

# 2. A run that fails once the modem has forgotten its data: FAIL, and the backup stays.
start_sim --fault "write@5+=error"
update "$home/fail.log"
rc=$?
[ "$rc" -ne 0 ] || fail "the failed run exited 0"
grep -q "^Result: FAIL" "$home/fail.log" || fail "no FAIL: $(tail -5 "$home/fail.log")"
stop_sim
held "$home/lost.txt"
! diff -q "$home/before.txt" "$home/lost.txt" > /dev/null || fail "the failed run did not touch the modem"
[ -d "$ZOVIR_HOME/Backup/SN[$sn]" ] || fail "the backup of $sn did not stay: $(ls -R "$ZOVIR_HOME" | head -20)"

# 3. The restore from the saved backup: PASS, and every value the modem held is back.
start_sim
update "$home/restore.log" --sn "$sn" || fail "--sn run exited $?: $(tail -5 "$home/restore.log")"
grep -q "^Result: PASS" "$home/restore.log" || fail "--sn: no PASS: $(tail -5 "$home/restore.log")"
stop_sim
"$sim" --show "$state" --compare "$packet" > "$home/compare.txt" || fail "partitions after --sn: $(cat "$home/compare.txt")"
held "$home/restored.txt"
diff "$home/before.txt" "$home/restored.txt" > "$home/diff.txt" || fail "--sn did not restore: $(head -5 "$home/diff.txt")"

# 4. A modem that still reports its old firmware after the update (it booted the old images):
# every step went through, yet the update did not take. FAIL with the version-mismatch code, and
# the modem's data given back all the same (the restore passed, so its backup had done its work).
start_sim --firmware-version "BTM9X06_V0.9.0_R00"
update "$home/mismatch.json" --json
rc=$?
[ "$rc" -ne 0 ] || fail "the mismatched run exited 0"
result="$(grep '"event":"result"' "$home/mismatch.json")"
for want in '"result":"FAIL"' '"error_code":1001' '"verification":"version mismatch"' \
    '"firmware_before":"BTM9X06_V0.9.0_R00"' '"firmware_after":"BTM9X06_V0.9.0_R00"'; do
  case "$result" in *"$want"*) ;; *) fail "mismatch: no $want in $result" ;; esac
done
stop_sim
held "$home/mismatched.txt"
diff "$home/before.txt" "$home/mismatched.txt" > "$home/diff.txt" || fail "mismatch: the data changed: $(head -5 "$home/diff.txt")"
echo "ok"
