#!/bin/sh
# Runs the disk sequence through the engine alone and through the run logic, alternating,
# on one folder, and prints the median figures of each path side by side.
#
#   bench/disk_run_overhead.sh [-d DIR] [-s SIZE] [-r ROUNDS] [-b BENCH]
#
# DIR (default /var/tmp) must lie on a block-device file system that accepts O_DIRECT; SIZE
# (default 1G) is the sequential size; ROUNDS (default 5) sequences per path.
set -eu
dir=/var/tmp
size=1G
rounds=5
bench=
while getopts d:s:r:b: opt; do
  case $opt in
    d) dir=$OPTARG ;;
    s) size=$OPTARG ;;
    r) rounds=$OPTARG ;;
    b) bench=$OPTARG ;;
    *) echo "usage: $0 [-d DIR] [-s SIZE] [-r ROUNDS] [-b BENCH]" >&2; exit 2 ;;
  esac
done
here=$(cd "$(dirname "$0")/.." && pwd)
[ -n "$bench" ] || bench=$here/build/bench/bench_disk_run
[ -x "$bench" ] || bench=$here/build/bin/bench_disk_run
[ -x "$bench" ] || { echo "build bench_disk_run first" >&2; exit 1; }
work=$(mktemp -d "$dir/disk_run_overhead.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

SORVANTA_BENCH_DIR=$work SORVANTA_BENCH_BYTES=$size "$bench" \
  --benchmark_filter='BM_(EngineDirect|ThroughRunLogic|ProgressNotification)' \
  --benchmark_repetitions="$rounds" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=false --benchmark_format=json >"$work/out.json"

python3 - "$work/out.json" <<'PY'
import json, statistics, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
keys = ["seqwrite", "seqread", "4kwrite", "4kread", "64twrite", "64tread"]
per = {}
for b in runs:
    if b.get("run_type") != "iteration":
        continue
    per.setdefault(b["run_name"], []).append(b)
eng, run = per.get("BM_EngineDirect/iterations:1/real_time", []), per.get("BM_ThroughRunLogic/iterations:1/real_time", [])
print("%-9s %14s %14s %8s   %s" % ("test", "engine MB/s", "run logic MB/s", "ratio", "spread engine | run logic (min-max)"))
for k in keys:
    a = statistics.median(x[k] for x in eng) if eng else 0
    b = statistics.median(x[k] for x in run) if run else 0
    sa = "%.1f-%.1f" % (min(x[k] for x in eng), max(x[k] for x in eng)) if eng else "-"
    sb = "%.1f-%.1f" % (min(x[k] for x in run), max(x[k] for x in run)) if run else "-"
    print("%-9s %14.2f %14.2f %8.3f   %s | %s" % (k, a, b, b / a if a else 0, sa, sb))
for name, bs in sorted(per.items()):
    if name.startswith("BM_ProgressNotification"):
        print("%s: %.0f ns per notification (median)" % (name, statistics.median(x["real_time"] for x in bs)))
PY
