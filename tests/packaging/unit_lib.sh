# What the unit checks share; sourced by unit_check.sh and
# accounts_unit_check.sh, which set `work` (a scratch directory) first.

# require_keys UNIT KEY...: every KEY stands as a whole line of UNIT.
require_keys() {
  local unit=$1 key
  shift
  for key in "$@"; do
    grep -qx "$key" "$unit" || { echo "$unit lacks $key" >&2; exit 1; }
  done
}

# verify_unit UNIT PROGRAM NAME [INSTANCE]: systemd-analyze checks the unit
# (copied as NAME) against the systemd of this machine, with the program
# where the unit expects it replaced by PROGRAM; INSTANCE names the unit to
# verify when it is a template. Skipped where systemd-analyze is missing.
verify_unit() {
  local unit=$1 program=$2 name=$3 instance=${4:-$3} exec_line installed report
  command -v systemd-analyze >/dev/null || return 0
  exec_line=$(sed -n 's/^ExecStart=//p' "$unit")
  installed=${exec_line%% *}
  # A copy: some build trees lie on mounts where systemd refuses to execute.
  cp "$program" "$work/brindle-warden"
  sed "s|^ExecStart=$installed|ExecStart=$work/brindle-warden|" "$unit" > "$work/$name"
  report=$(systemd-analyze verify --man=no "$work/$instance" 2>&1 || true)
  if [ -n "$report" ]; then
    echo "systemd-analyze verify: $report" >&2
    exit 1
  fi
}
