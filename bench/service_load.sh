#!/bin/sh
# Measures the reference service from a second process on loopback: starts
# build/bin/sorvanta-service on a spare port with a throw-away data folder, runs
# build/bin/service_load against it (kept-alive connections, then a fresh connection per
# request as the desktop program makes them) and stops the service.
# Usage: bench/service_load.sh [extra service_load options]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/bin
port=${PORT:-18543}
data=$(mktemp -d)
# SERVICE_ARGS adds service options, for example "--sync normal".
"$bin/sorvanta-service" --port "$port" --data "$data" --rate-limit 0 --quiet ${SERVICE_ARGS:-} &
service=$!
trap 'kill $service 2>/dev/null; wait $service 2>/dev/null; rm -rf "$data"' EXIT
# Wait (up to 20 s) until the service answers.
tries=0
until curl -sk -o /dev/null "https://127.0.0.1:$port/update/sorvanta/getAnnouncementPC"; do
  tries=$((tries + 1))
  [ "$tries" -lt 100 ] || { echo "service did not start" >&2; exit 1; }
  sleep 0.2
done
"$bin/service_load" --url "https://127.0.0.1:$port/" "$@"
"$bin/service_load" --url "https://127.0.0.1:$port/" --fresh "$@"
