#!/usr/bin/env bash
# The systemd unit as installed: systemd finds nothing wrong in it, and the
# command line it runs starts the program with its home in the state directory.
#   unit_check.sh UNIT PROGRAM
set -euo pipefail
unit=$1
program=$2
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
pid=

exec_line=$(sed -n 's/^ExecStart=//p' "$unit")
[ -n "$exec_line" ] || { echo "no ExecStart in $unit" >&2; exit 1; }
for key in 'DynamicUser=yes' 'StateDirectory=brindle-warden/%i' 'StateDirectoryMode=0700' \
           'Restart=on-failure' 'NoNewPrivileges=yes' 'PrivateTmp=yes' 'ProtectSystem=strict' \
           'ProtectHome=yes' 'StandardOutput=journal' 'UMask=0077'; do
  grep -qx "$key" "$unit" || { echo "$unit lacks $key" >&2; exit 1; }
done

# systemd-analyze checks the unit against the systemd of this machine, with the
# program where the unit expects it replaced by the one just built.
if command -v systemd-analyze >/dev/null; then
  installed=${exec_line%% *}
  # A copy: some build trees lie on mounts where systemd refuses to execute.
  cp "$program" "$work/brindle-warden"
  sed "s|^ExecStart=$installed|ExecStart=$work/brindle-warden|" "$unit" > "$work/brindle-warden@.service"
  report=$(systemd-analyze verify --man=no "$work/brindle-warden@123456.service" 2>&1 || true)
  if [ -n "$report" ]; then
    echo "systemd-analyze verify: $report" >&2
    exit 1
  fi
fi

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
