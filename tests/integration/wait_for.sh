# Sourced by the shell tests that follow a program's output while it runs.
# wait_for FILE PATTERN SECONDS: true as soon as FILE holds a line matching PATTERN (grep -E),
# false once SECONDS have passed without one.
wait_for() {
  local file="$1" pattern="$2" tenths=$(($3 * 10))
  while [ "$tenths" -gt 0 ]; do
    grep -qE -- "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.1
    tenths=$((tenths - 1))
  done
  grep -qE -- "$pattern" "$file" 2>/dev/null
}
