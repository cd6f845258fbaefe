#!/bin/sh
# Capacity check speed beside plain direct I/O on the same volume, in one run:
#   1. fio: sequential 16 MiB O_DIRECT write of SIZE, then a sequential direct read of it;
#   2. SM3 over 16 MiB blocks on one core and on every core, and the generators' block rate;
#   3. a whole capacity check of SIZE in the same folder: fill and read-back MiB/s, peak RSS;
# and prints each against the goal 0.9 * min(raw direct, SM3 on all cores).
#
# Usage: bench/capacity_vs_dd.sh [BUILD_DIR] [FOLDER] [SIZE_MiB]
# FOLDER (default /var/tmp/sorvanta-capacity-bench) is created and removed again; it never
# fills the volume, only SIZE MiB (default 2048) of it.
set -eu

BUILD=${1:-build}
DIR=${2:-/var/tmp/sorvanta-capacity-bench}
SIZE_MIB=${3:-2048}
BENCH="$BUILD/bin/bench_capacity"

[ -x "$BENCH" ] || { echo "missing $BENCH (build the bench_capacity target)"; exit 1; }
command -v fio >/dev/null || { echo "needs fio"; exit 1; }
mkdir -p "$DIR"
trap 'rm -rf "$DIR"' EXIT INT TERM
AVAIL_MIB=$(df -Pm "$DIR" | awk 'NR==2 {print $4}')
[ "$AVAIL_MIB" -gt $((SIZE_MIB * 2)) ] || { echo "need $((SIZE_MIB * 2)) MiB free in $DIR"; exit 1; }

echo "machine: $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg); folder $DIR on $(df -P "$DIR" | awk 'NR==2 {print $1}')"

fio_bw() {  # rw -> MiB/s
  fio --name=raw --filename="$DIR/raw.bin" --rw="$1" --bs=16M --direct=1 --ioengine=psync \
      --size="${SIZE_MIB}M" --output-format=json 2>/dev/null |
    python3 -c 'import json,sys; j=json.load(sys.stdin)["jobs"][0]; k=sys.argv[1]; print("%.1f" % (j[k]["bw_bytes"]/1048576))' "$2"
}
RAW_W=$(fio_bw write write)
RAW_R=$(fio_bw read read)
rm -f "$DIR/raw.bin"
echo "raw direct write ${RAW_W} MiB/s, raw direct read ${RAW_R} MiB/s (fio, bs=16M, O_DIRECT, ${SIZE_MIB} MiB)"

OUT=$(mktemp)
SORVANTA_BENCH_DIR="$DIR" SORVANTA_BENCH_BYTES=$((SIZE_MIB * 1048576)) \
  "$BENCH" --benchmark_format=json --benchmark_out="$OUT" --benchmark_out_format=json >/dev/null 2>&1 || true
python3 - "$OUT" "$RAW_W" "$RAW_R" "$(nproc)" <<'EOF'
import json, sys
out, raw_w, raw_r, ncpu = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
b = {x["name"]: x for x in json.load(open(out))["benchmarks"]}
mib = 1048576.0
sm3 = {n: x["bytes_per_second"] / mib for n, x in b.items() if n.startswith("BM_Sm3Block")}
for n in sorted(sm3): print("%-44s %8.1f MiB/s" % (n, sm3[n]))
# What SM3 can hash on all cores: the best aggregate of 1, 2 and 4 threads.
allc = max(sm3.values())
one = next(x for n, x in b.items() if n.startswith("BM_Sm3Block") and n.endswith("threads:1"))
percore = 16.0 / (one["cpu_time"] / 1000.0)  # cpu_time in ms per 16 MiB block
print("SM3 per core by CPU time (what a core does when it is not shared): %.1f MiB/s; x %d cores = %.1f MiB/s"
      % (percore, ncpu, percore * ncpu))
g = next(x for n, x in b.items() if n.startswith("BM_Generators"))
print("generators: %d threads, %.2f blocks/s (%.1f MiB/s with SM3)" % (g["threads"], g["items_per_second"], g["bytes_per_second"] / mib))
run = next(x for n, x in b.items() if n.startswith("BM_CapacityRunOnFolder"))
if run.get("error_occurred"):
    print("whole run failed:", run.get("error_message")); sys.exit(1)
fill, rb, rss = run["fill_MiBps"], run["readback_MiBps"], run["peak_RSS_MiB"]
print("capacity run: fill %.1f MiB/s, read-back %.1f MiB/s, peak RSS %.0f MiB" % (fill, rb, rss))
print("CPU view (load-independent): SM3 %.1f MiB/s per core; SM3 share of the run's CPU time: fill %.0f%%, read-back %.0f%%"
      % (run["sm3_core_MiBps"], 100 * run["fill_sm3_share"], 100 * run["readback_sm3_share"]))
for what, share, raw in (("fill", run["fill_sm3_share"], raw_w), ("read-back", run["readback_sm3_share"], raw_r)):
    ideal = min(raw, ncpu * run["sm3_core_MiBps"])
    proj = min(raw, ncpu * run["sm3_core_MiBps"] * share)
    print("%-9s on idle cores: limit min(raw %.1f, %d x SM3 %.1f) = %.1f MiB/s; the run's CPU cost allows %.1f (%.0f%% of the limit)"
          % (what, raw, ncpu, run["sm3_core_MiBps"], ideal, proj, 100 * proj / ideal))
for what, got, raw in (("fill", fill, raw_w), ("read-back", rb, raw_r)):
    limit = min(raw, allc)
    goal = 0.9 * limit
    print("%-9s goal 0.9 x min(raw %.1f, SM3 all cores %.1f) = %.1f MiB/s -> got %.1f (%.0f%% of the limit) %s"
          % (what, raw, allc, goal, got, 100 * got / limit, "MET" if got >= goal else "NOT MET"))
EOF
rm -f "$OUT"
