# Sourced first by the two-process tests with their three arguments (the simulator, zovir-cli and
# the test packet): a scratch folder removed at exit (the simulator stopped first), the tool's
# home and device map below it, the modem's state folder, fail(), update() (a run on the packet,
# questions answered --yes) and the simulator helpers of modem_sim.sh.
set -u
sim="$1"
cli="$2"
packet="$3"
home="$(mktemp -d)"
trap '[ -n "${simpid:-}" ] && kill "$simpid" 2>/dev/null; wait 2>/dev/null; rm -rf "$home"' EXIT
export ZOVIR_HOME="$home/tool"
export ZOVIR_DEVICE_MAP="$home/ports.ini"
map="$ZOVIR_DEVICE_MAP"
state="$home/modem"
fail() { echo "FAIL: $*"; [ -f "$home/sim.log" ] && tail -5 "$home/sim.log"; exit 1; }
. "$(dirname "${BASH_SOURCE[0]}")/../modem_sim.sh"

update() {
  local log="$1"
  shift
  "$cli" run --yes --packet "$packet" "$@" > "$log" 2>&1
}
