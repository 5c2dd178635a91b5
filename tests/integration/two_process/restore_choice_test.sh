#!/usr/bin/env bash
# Which backup a restore takes, with zovir-modem-sim as a program of its own and one modem
# state carried through every step (what it holds read with --show before and after):
#  1. a run that fails before anything is written, then the modem's files change in use: the
#     restore it suggests (--sn) must not bring the older files back, and keeps the older backup;
#  2. a run that fails once the modem was written, on a modem that still reports its identity:
#     a plain run stops before anything is written and names the backup and its --sn; told to
#     set it aside, a plain run goes on and keeps it;
#  3. the --sn restore of that backup then gives the modem back everything it held.
. "$(dirname "$0")/setup.sh" "$@"
# partitions FILE: the partition lines of --show (what was written to the flash).
partitions() { "$sim" --show "$state" | grep -vE '^(nv|rf|identity|efs-file|efs-folder) ' > "$1"; }
# random_file PATH: a file of 0 to 3000 random bytes.
random_file() { mkdir -p "$(dirname "$1")"; head -c $((RANDOM % 3000)) /dev/urandom > "$1"; }
value() { sed -n "s/^identity $1=//p" "$2"; }

# A factory modem whose user folder holds files drawn at random.
start_sim
stop_sim
for i in $(seq 1 $((2 + RANDOM % 4))); do random_file "$state/efs/data/drawn$i-$RANDOM.bin"; done
held "$home/before.txt"
sn="$(value SN "$home/before.txt")"
[ -n "$sn" ] || fail "the factory modem has no serial number"

# 1. The upload of the flash programmer is refused: nothing reaches the flash.
start_sim --fault "sahara:end@1+=status:1"
update "$home/early.log" && fail "the refused upload exited 0"
stop_sim
held "$home/early.txt"
diff "$home/before.txt" "$home/early.txt" > /dev/null || fail "the modem changed although nothing was written"
# In use since: one file changed, one added.
changed="$(find "$state/efs/data" -maxdepth 1 -name 'drawn*' | shuf -n 1)"
random_file "$changed"
printf 'written after the failed update %s\n' "$RANDOM" >> "$changed"
random_file "$state/efs/data/newer-$RANDOM.txt"
held "$home/newer.txt"
start_sim
update "$home/early-sn.log" --sn "$sn" || fail "--sn after the early failure exited $?: $(tail -5 "$home/early-sn.log")"
stop_sim
held "$home/after-early-sn.txt"
diff "$home/newer.txt" "$home/after-early-sn.txt" > "$home/diff.txt" ||
  fail "--sn brought older data back: $(head -5 "$home/diff.txt")"
"$cli" backups --json > "$home/backups.json"
[ "$(grep -c '"event":"backup"' "$home/backups.json")" -eq 1 ] || fail "backups: $(cat "$home/backups.json")"
grep -q '"modem_written":false' "$home/backups.json" || fail "the older backup is not kept: $(cat "$home/backups.json")"

# 2. An image write fails: the modem lost its data, yet it still reports its identity.
start_sim --fault "write@5+=error"
update "$home/written.log" && fail "the failed write exited 0"
stop_sim
grep -q '"modem_written":true' <("$cli" backups --json) || fail "the backup does not say the modem was written"
identity=(--identity "SN=$sn" --identity "IMEI=$(value IMEI "$home/newer.txt")"
  --identity "TESTINF=$(value TESTINF "$home/newer.txt")")
start_sim "${identity[@]}"
stop_sim
held "$home/emptied.txt"
partitions "$home/emptied-partitions.txt"
! diff -q "$home/newer.txt" "$home/emptied.txt" > /dev/null || fail "the failed write did not touch the modem"
start_sim
update "$home/plain.log" && fail "a plain run over the emptied modem exited 0: $(tail -5 "$home/plain.log")"
stop_sim
grep -qF "zovir-cli run --sn $sn," "$home/plain.log" || fail "the plain run does not name the restore: $(tail -8 "$home/plain.log")"
held "$home/after-plain.txt"
partitions "$home/after-plain-partitions.txt"
diff "$home/emptied.txt" "$home/after-plain.txt" > /dev/null && diff -q "$home/emptied-partitions.txt" "$home/after-plain-partitions.txt" > /dev/null ||
  fail "the refused plain run changed the modem"

# Told to set that backup aside, a plain run goes on; the backup stays, restorable by its name.
start_sim
update "$home/aside.log" --set-aside-backup || fail "--set-aside-backup exited $?: $(tail -5 "$home/aside.log")"
stop_sim
"$cli" backups --json > "$home/backups.json"
aside="$(grep '"modem":"set-aside"' "$home/backups.json" | sed -n 's/.*"folder":"\([^"]*\)".*/\1/p')"
[ -n "$aside" ] || fail "the backup was not set aside: $(cat "$home/backups.json")"

# 3. The restore of that backup gives everything back.
start_sim
update "$home/restore.log" --sn "$aside" || fail "--sn exited $?: $(tail -5 "$home/restore.log")"
stop_sim
held "$home/restored.txt"
diff "$home/newer.txt" "$home/restored.txt" > "$home/diff.txt" || fail "--sn did not restore: $(head -5 "$home/diff.txt")"
"$sim" --show "$state" --compare "$packet" > /dev/null || fail "the images are not in the partitions"
echo "ok"
