# Sourced by the shell tests that run zovir-modem-sim as a program of its own. Expects $sim (the
# simulator), $map (its device map), $state (its state folder) and $home (a scratch folder), and a
# fail function; sources wait_for.sh.
. "$(dirname "${BASH_SOURCE[0]}")/wait_for.sh"
simpid=""

# start_sim [ARGS...]: the modem comes up (its ports in the map) with ARGS given to the simulator.
start_sim() {
  "$sim" --device-map "$map" --state "$state" --reboot-delay 300 "$@" > "$home/sim.log" 2>&1 &
  simpid=$!
  wait_for "$home/sim.log" "^mode normal" 10 || fail "the simulator did not come up"
}

# stop_sim: the modem is unplugged; its ports leave the map.
stop_sim() {
  kill -TERM "$simpid"
  wait "$simpid" || fail "the simulator exited $?"
  simpid=""
  [ -z "$(grep '^Path=' "$map" 2>/dev/null)" ] || fail "ports left in the map"
}

# held FILE: what the modem holds beside its partitions, one line per value (the radio state aside).
held() {
  "$sim" --show "$state" > "$home/show.txt" || fail "--show: $(cat "$home/show.txt")"
  grep -E '^(nv|rf|identity|efs-file|efs-folder) ' "$home/show.txt" | grep -v '^identity CFUN=' > "$1"
}
