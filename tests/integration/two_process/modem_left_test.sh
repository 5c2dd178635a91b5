#!/usr/bin/env bash
# What an update leaves the modem in when an answer at its end is lost or it ends early, with
# zovir-modem-sim as a program of its own: a final reset whose answer is lost while the modem
# restarts all the same still ends with the data restored and PASS; one the modem never carried
# out fails without a false PASS and its backup restores the modem; a run that fails before the
# erase gives the radio back and does not advise a restore. What the modem holds is read with
# zovir-modem-sim --show.
. "$(dirname "$0")/setup.sh" "$@"
radio() { "$sim" --show "$state" | sed -n 's/^identity CFUN=//p'; }

start_sim
stop_sim
held "$home/before.txt"
sn="$(sed -n 's/^identity SN=//p' "$home/before.txt")"
[ -n "$sn" ] || fail "the factory modem has no serial number"

# 1. The reset's answer is lost, the modem restarts as told: its data go back, PASS.
start_sim --fault "reset=silent"
update "$home/silent.log" || fail "lost answer: exit $?: $(tail -5 "$home/silent.log")"
grep -q "^Result: PASS" "$home/silent.log" || fail "lost answer: no PASS: $(tail -5 "$home/silent.log")"
stop_sim
"$sim" --show "$state" --compare "$packet" > "$home/compare.txt" || fail "partitions: $(cat "$home/compare.txt")"
held "$home/after.txt"
diff "$home/before.txt" "$home/after.txt" > "$home/diff.txt" || fail "lost answer: the data changed: $(head -5 "$home/diff.txt")"

# 2. The reset never reaches the modem, which stays in its programmer: FAIL (no PASS without the
# restore), the backup kept, and the advice to replug before the restore.
start_sim --fault "reset=ignore"
update "$home/ignored.log"
[ $? -ne 0 ] || fail "a reset that never came passed"
grep -q "^Result: FAIL" "$home/ignored.log" || fail "no FAIL: $(tail -5 "$home/ignored.log")"
grep -qF "Fail to reset or power off phone" "$home/ignored.log" || fail "not said why: $(tail -8 "$home/ignored.log")"
grep -qF "The modem is in boot-loader mode: unplug it and plug it in again" "$home/ignored.log" ||
  fail "no replug advice: $(tail -5 "$home/ignored.log")"
grep -qF "to restore it after the replug: zovir-cli run --sn $sn" "$home/ignored.log" ||
  fail "no restore advice: $(tail -5 "$home/ignored.log")"
# Before the replug a run says where the modem is instead of finding no device.
update "$home/no-ready.log" --wait 3
[ $? -eq 3 ] || fail "a run on the modem in its programmer: exit $?"
grep -qF "Not Ready: modem in boot-loader mode: replug it" "$home/no-ready.log" || fail "$(cat "$home/no-ready.log")"
stop_sim
start_sim
update "$home/restore.log" --sn "$sn" || fail "--sn run exited $?: $(tail -5 "$home/restore.log")"
stop_sim
held "$home/restored.txt"
diff "$home/before.txt" "$home/restored.txt" > "$home/diff.txt" || fail "--sn did not restore: $(head -5 "$home/diff.txt")"

# 3. The backup cannot read the NV items (every read refused), so the run stops before the switch
# to download mode: nothing was written, the radio the start commands switched off comes back on,
# the data stay, and no restore is advised.
start_sim --fault "diag:26@1+=status:6"
update "$home/nobackup.log"
[ $? -ne 0 ] || fail "a failed backup passed"
stop_sim
[ "$(radio)" = "1" ] || fail "the radio was left at '$(radio)': $(tail -5 "$home/nobackup.log")"
held "$home/unswitched.txt"
diff "$home/before.txt" "$home/unswitched.txt" > "$home/diff.txt" || fail "the data changed: $(head -5 "$home/diff.txt")"
grep -qF "Nothing was written to the modem: its data are still on it" "$home/nobackup.log" ||
  fail "advice after a failure before the erase: $(tail -5 "$home/nobackup.log")"
! grep -qF "zovir-cli run --sn" "$home/nobackup.log" || fail "a restore was advised: $(tail -5 "$home/nobackup.log")"
echo "ok"
