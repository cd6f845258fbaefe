#!/usr/bin/env bash
# One run side by side on loopback: the service on its SQLite file (one instance), then on
# PostgreSQL with K=1 and K=2 instances behind HAProxy (scripts/cluster, fsync on), each
# under the same build/bin/service_load phases: start-exam, whole CPU submissions, ranking
# reads. Prints each run's output and a table of requests/s, p50/p99 latency, failures and
# the CPU time per request of the instances, PostgreSQL and HAProxy.
# Usage: bench/service_cluster.sh [service_load options]
#   (default: --threads 16 --tokens 0 --starts 2000 --submissions 100 --rankings 2000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/bin
load=("$@")
[ ${#load[@]} -gt 0 ] || load=(--threads 16 --tokens 0 --starts 2000 --submissions 100 --rankings 2000)
work=$(mktemp -d)
chmod 711 "$work"  # the PostgreSQL cluster's owner passes through it
service=
cleanup() {
  [ -z "$service" ] || kill "$service" 2> /dev/null || true
  "$root/scripts/cluster" stop "$work/k1" 2> /dev/null || true
  "$root/scripts/cluster" stop "$work/k2" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

run() {  # NAME URL [--cpu NAME=PIDS ...]
  local name=$1 url=$2
  shift 2
  echo "== $name"
  "$bin/service_load" --url "$url" "${load[@]}" "$@" | tee "$work/$name.out"
}

# SQLite, one instance, as the README starts it (sync at every commit).
"$bin/sorvanta-service" --port 0 --data "$work/sqlite" --rate-limit 0 --quiet > "$work/sqlite.log" 2>&1 &
service=$!
for _ in $(seq 200); do
  url=$(sed -n 's/^sorvanta-service: serving \(https:[^ ]*\) .*/\1/p' "$work/sqlite.log")
  [ -n "$url" ] && break
  sleep 0.05
done
run sqlite "$url" --cpu "service=$service"
kill "$service"
wait "$service" 2> /dev/null || true
service=

for k in 1 2; do
  "$root/scripts/cluster" start "$work/k$k" --instances "$k" -- --rate-limit 0 --quiet > /dev/null
  c=$work/k$k
  pids=$(cat "$c"/instance-*.pid | paste -sd,)
  run "postgresql-k$k" "$(cat "$c/url")" --cpu "service=$pids" --cpu "postgres=$(head -n 1 "$c/pg/data/postmaster.pid")" \
    --cpu "haproxy=$(cat "$c/haproxy.pid")"
  "$root/scripts/cluster" stop "$work/k$k"
done

echo
echo "| set-up | request | per s | p50 ms | p99 ms | failed | CPU ms per request (all instances / PostgreSQL / HAProxy) |"
echo "|---|---|---|---|---|---|---|"
for name in sqlite postgresql-k1 postgresql-k2; do
  awk -v setup="$name" '
    / in [0-9.]+ s = / {
      if (row != "") print row " |"
      split($0, head, ":"); what = head[1]; sub(/ \(.*/, "", what)
      match($0, /= [0-9.]+/); rate = substr($0, RSTART + 2, RLENGTH - 2)
      match($0, /p50 [0-9.]+/); p50 = substr($0, RSTART + 4, RLENGTH - 4)
      match($0, /p99 [0-9.]+/); p99 = substr($0, RSTART + 4, RLENGTH - 4)
      match($0, /\([0-9]+ (failed|refused)\)/); failed = substr($0, RSTART + 1, RLENGTH - 2); sub(/ .*/, "", failed)
      row = "| " setup " | " what " | " rate " | " p50 " | " p99 " | " failed " |"; next
    }
    /cpu per request:/ {
      line = $0; sub(/.*cpu per request: /, "", line); gsub(/ ms/, "", line)
      gsub(/[a-z]+ /, "", line); gsub(/ /, " / ", line)
      print row " " line " |"; row = ""
    }
    END { if (row != "") print row " |" }' "$work/$name.out"
done
