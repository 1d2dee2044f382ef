#!/usr/bin/env bash
# The systemd unit as installed: systemd finds nothing wrong in it, and the
# command line it runs starts the program with its home in the state directory.
#   unit_check.sh UNIT PROGRAM
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
require_keys "$unit" 'DynamicUser=yes' 'StateDirectory=brindle-warden/%i' \
  'StateDirectoryMode=0700' 'Restart=on-failure' 'NoNewPrivileges=yes' 'PrivateTmp=yes' \
  'ProtectSystem=strict' 'ProtectHome=yes' 'StandardOutput=journal' 'UMask=0077'
verify_unit "$unit" "$program" brindle-warden@.service brindle-warden@123456.service

# The command line itself, with %S (the state directories) and %i (the account)
# as systemd gives them; nothing listens at the default URL's port here.
args=${exec_line#* }
args=${args//%S/$work/state}
args=${args//%i/123456}
mkdir -p "$work/state/brindle-warden/123456"
printf '[onebot]\nurl=ws://127.0.0.1:9\n' > "$work/state/brindle-warden/123456/brindle-warden.ini"
# shellcheck disable=SC2086  # the unit's arguments are blank-separated words
"$program" $args > "$work/out" 2>&1 &
pid=$!
for _ in $(seq 100); do
  grep -q 'waiting for a OneBot v11 implementation' "$work/out" && break
  sleep 0.1
done
if ! grep -q "home $work/state/brindle-warden/123456" "$work/out" ||
   ! grep -q 'ws://127.0.0.1:9' "$work/out"; then
  echo "the unit's command line did not start the service as expected:" >&2
  cat "$work/out" >&2
  exit 1
fi
kill -TERM "$pid"
wait "$pid"
echo "unit_check: $unit verified; its command line starts $program"
