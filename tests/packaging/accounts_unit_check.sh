#!/usr/bin/env bash
# The unit of the service of many accounts as installed: systemd finds nothing
# wrong in it, and its command line starts every account of the config in
# the state directory's home.
#   accounts_unit_check.sh UNIT PROGRAM
set -euo pipefail
# shellcheck source=unit_lib.sh
. "$(dirname "$0")/unit_lib.sh"
unit=$1
program=$2
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
pid=

exec_line=$(sed -n 's/^ExecStart=//p' "$unit")
[ -n "$exec_line" ] || { echo "no ExecStart in $unit" >&2; exit 1; }
require_keys "$unit" 'DynamicUser=yes' 'StateDirectory=brindle-warden/all' \
  'StateDirectoryMode=0700' 'Restart=on-failure' 'RestartPreventExitStatus=1 2' \
  'NoNewPrivileges=yes' 'ProtectSystem=strict' 'ProtectHome=yes' 'StandardOutput=journal' \
  'UMask=0077'
if grep -q '%i' "$unit"; then
  echo "$unit is not a template: it must not use %i" >&2
  exit 1
fi

verify_unit "$unit" "$program" brindle-warden.service

# Two accounts whose implementations are not there: both wait, each on its own.
args=${exec_line#* }
args=${args//%S/$work/state}
home=$work/state/brindle-warden/all
mkdir -p "$home"
printf '[account 123456]\nurl=ws://127.0.0.1:9\n\n[account 654321]\nurl=ws://127.0.0.1:9/b\n' \
  > "$home/brindle-warden.ini"
# shellcheck disable=SC2086  # the unit's arguments are blank-separated words
"$program" $args --no-panel > "$work/out" 2>&1 &
pid=$!
for _ in $(seq 100); do
  grep -q 'account 654321: waiting' "$work/out" && break
  sleep 0.1
done
if ! grep -q "starting 2 accounts; home $home" "$work/out" ||
   ! grep -q 'account 123456: waiting for its OneBot implementation at ws://127.0.0.1:9' "$work/out" ||
   ! grep -q 'account 654321: waiting for its OneBot implementation at ws://127.0.0.1:9/b' "$work/out"; then
  echo "the unit's command line did not start both accounts:" >&2
  cat "$work/out" >&2
  exit 1
fi
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || { echo "the stop ended with status $status" >&2; cat "$work/out" >&2; exit 1; }
echo "accounts_unit_check: $unit verified; its command line starts both accounts of $program"
