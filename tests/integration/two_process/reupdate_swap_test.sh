#!/usr/bin/env bash
# A re-update onto a modem swapped in after the failure, with zovir-modem-sim as programs of
# their own: unit A's update breaks off once A's backup is complete (A is unplugged while its
# boot loader takes the programmer), unit B is plugged in, and the re-update the tool asks for
# after the failure (product type 20, answered by --yes) hands the engine A's backup with the
# backup flags off. B must be refused before anything is written and keep what it held.
set -u
sim="$1"
cli="$2"
packet="$3"
home="$(mktemp -d)"
bpid=""
trap '[ -n "${simpid:-}" ] && kill "$simpid" 2>/dev/null; [ -n "$bpid" ] && kill "$bpid" 2>/dev/null; wait 2>/dev/null; rm -rf "$home"' EXIT
export ZOVIR_HOME="$home/tool"
export ZOVIR_DEVICE_MAP="$home/ports.ini"
map="$ZOVIR_DEVICE_MAP"
state="$home/unit-a"
fail() { echo "FAIL: $*"; [ -f "$home/sim.log" ] && tail -5 "$home/sim.log"; [ -f "$home/run.log" ] && tail -15 "$home/run.log"; exit 1; }
. "$(dirname "$0")/../modem_sim.sh"

# The product that asks for a re-update after a failure; no user files, so that nothing but the
# re-update's own reasons makes it look at the modem. Its driver installer's flag is set.
product="$home/packet"
cp -r "$packet" "$product"
sed -i 's/^Project=.*/Project=Ulmer/; s/^bBackupUserData=1/bBackupUserData=0/' "$product/Config.ini"
printf '\n[Uninstall]\nUninstallUDisk=1\n' >> "$product/Config.ini"

# Unit B, another serial number and IMEI drawn at random, filled as a factory fills it.
b_state="$home/unit-b"
b_sn="QV$((100000 + RANDOM))B"
b_imei="35$(printf '%013d' "$((RANDOM * 32768 + RANDOM))")"
"$sim" --device-map "$home/b-first.ini" --state "$b_state" --com 17,18,19 --identity "SN=$b_sn" --identity "IMEI=$b_imei" \
  > "$home/b.log" 2>&1 &
bpid=$!
wait_for "$home/b.log" "^mode normal" 10 || fail "unit B did not come up"
kill -TERM "$bpid"
wait "$bpid"
bpid=""
# What B holds, its radio state aside.
show_b() { "$sim" --show "$b_state" > "$home/show-b.txt" || fail "--show B"; grep -v '^identity CFUN=' "$home/show-b.txt" > "$1"; }
show_b "$home/b-before.txt"

start_sim
"$cli" run --yes -v --packet "$product" > "$home/run.log" 2>&1 &
clipid=$!
wait_for "$home/sim.log" "^mode boot" 60 || fail "unit A never reached its boot loader"
grep -q "Backup succssfully" "$home/run.log" || fail "the boot loader before the backup was complete"
"$sim" --device-map "$map" --state "$b_state" --com 17,18,19 --reboot-delay 300 > "$home/b.log" 2>&1 &
bpid=$!
wait_for "$home/b.log" "^mode normal" 10 || fail "unit B did not come up"
# A is unplugged (B's ports stay in the map).
kill -TERM "$simpid"
wait "$simpid"
simpid=""
wait "$clipid"
rc=$?
kill -TERM "$bpid"
wait "$bpid"
bpid=""
[ "$rc" -ne 0 ] || fail "the re-update onto unit B exited 0"
grep -q "Are you sure reupdate again" "$home/run.log" || fail "no re-update was asked for"
grep -q "The modem is another unit" "$home/run.log" || fail "unit B was not refused as another unit"
show_b "$home/b-after.txt"
diff "$home/b-before.txt" "$home/b-after.txt" > "$home/diff.txt" || fail "unit B changed: $(head -5 "$home/diff.txt")"
echo "ok"
