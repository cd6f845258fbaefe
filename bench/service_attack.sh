#!/bin/bash
# Tries the reference service as an adversary and as an operator would, on loopback only,
# each scenario bounded in count and time: slow clients, header floods, costly token
# requests (without and with the per-address budget), the token rate limit, pipelining,
# 256 clients on fresh connections (listen backlog), a second instance, stopping with slow
# clients connected, and the modes of the private files in an operator-made folder.
# Usage: bench/service_attack.sh [SCENARIO...]   (default: all)
#   SERVICE=path/to/sorvanta-service compares another build of the service.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/bin
service_bin=${SERVICE:-$bin/sorvanta-service}
attack=$bin/service_attack
port=${PORT:-18544}
scenarios=${*:-"slow hello headers tokencpu tokenbudget ratelimit pipeline backlog second stop modes"}
data=""
pid=""

start() {  # start [service options...]: a service on $port with a fresh data folder
  data=$(mktemp -d)
  chmod 0755 "$data"
  "$service_bin" --port "$port" --data "$data" --quiet "$@" 2>"$data.log" &
  pid=$!
  for _ in $(seq 1 100); do
    curl -sk -o /dev/null --max-time 2 "https://127.0.0.1:$port/update/sorvanta/getAnnouncementPC" && return 0
    sleep 0.1
  done
  echo "service did not start: $(cat "$data.log")" >&2
  return 1
}

stop() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  rm -rf "$data" "$data.log" "$data.second.log"
  pid=""
}
trap stop EXIT

overflows() { nstat -az TcpExtListenOverflows 2>/dev/null | awk '/ListenOverflows/ {print $2}'; }

for s in $scenarios; do
  echo "== $s"
  case $s in
    slow) start --rate-limit 0 && "$attack" slow --port "$port" --conns 200 --seconds 20; stop ;;
    hello) start --rate-limit 0 && "$attack" slow --port "$port" --conns 200 --seconds 20 --hello; stop ;;
    headers) start --rate-limit 0 && "$attack" headers --port "$port" --pid "$pid" --lines 200000 --conns 8; stop ;;
    tokencpu) start --rate-limit 0 && "$attack" tokencpu --port "$port" --pid "$pid" --requests 300; stop ;;
    tokenbudget) start && "$attack" tokencpu --port "$port" --pid "$pid" --requests 300; stop ;;
    ratelimit) start && "$attack" ratelimit --port "$port" --conns 40 --identities 100; stop ;;
    pipeline) start --rate-limit 0 && "$attack" pipeline --port "$port"; stop ;;
    backlog)
      start --rate-limit 0 || continue
      before=$(overflows)
      timeout 300 "$bin/service_load" --url "https://127.0.0.1:$port/" --fresh --threads 256 --starts 4096 \
        --submissions 256 --tokens 0 | grep -v '^service'
      echo "listen queue overflows during the run: $(( $(overflows) - before ))"
      stop ;;
    second)
      start --rate-limit 0 || continue
      other=$(mktemp -d)
      timeout 10 "$service_bin" --port "$port" --data "$other" --quiet 2>"$data.second.log"
      echo "second instance, same port, other folder: exit $? ($(tail -1 "$data.second.log"))"
      timeout 10 "$service_bin" --port $((port + 1)) --data "$data" --quiet 2>"$data.second.log"
      echo "second instance, other port, same folder: exit $? ($(tail -1 "$data.second.log"))"
      rm -rf "$other"
      stop ;;
    stop)
      start --rate-limit 0 || continue
      "$attack" slow --port "$port" --conns 200 --seconds 90 >/dev/null &
      attacker=$!
      sleep 4
      t0=$(date +%s.%N)
      kill -TERM "$pid"
      for _ in $(seq 1 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      if kill -0 "$pid" 2>/dev/null; then
        echo "SIGTERM with 200 slow clients: still running after 30 s"
      else
        echo "SIGTERM with 200 slow clients: exited after $(awk "BEGIN {printf \"%.1f\", $(date +%s.%N) - $t0}") s"
      fi
      kill "$attacker" 2>/dev/null; wait "$attacker" 2>/dev/null
      stop ;;
    modes)
      start --rate-limit 0 || continue
      "$attack" ratelimit --port "$port" --conns 1 --identities 1 >/dev/null
      echo "data folder $(stat -c %a "$data"); files:"
      (cd "$data" && stat -c '  %a %n' ca-key.pem key.pem ca.pem cert.pem service.sqlite service.sqlite-wal \
        service.sqlite-shm 2>&1)
      stop ;;
  esac
done
