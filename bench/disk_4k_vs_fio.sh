#!/bin/sh
# The engine's 4 KiB random write and read at queue depth 1 beside fio (psync, direct=1)
# on one file, with the same kind of positions (1000 evenly spread 4 KiB positions, one
# drawn at random per I/O), alternating which tool goes first, and the medians.
#
#   bench/disk_4k_vs_fio.sh [-d DIR] [-s SIZE_MIB] [-r ROUNDS] [-t SECONDS] [-b BENCH] [-B EARLIER_BENCH]
#
# -B adds a column for another build of bench_disk_4k (an earlier engine), run in the same
# rounds, for a before/after table.
# DIR (default /var/tmp) must accept O_DIRECT; the file (default 1024 MiB) is written once
# and deleted at the end.
set -eu
dir=/var/tmp
mib=1024
rounds=5
secs=10
bench=
before=
while getopts d:s:r:t:b:B: opt; do
  case $opt in
    d) dir=$OPTARG ;;
    s) mib=$OPTARG ;;
    r) rounds=$OPTARG ;;
    t) secs=$OPTARG ;;
    b) bench=$OPTARG ;;
    B) before=$OPTARG ;;
    *) echo "usage: $0 [-d DIR] [-s SIZE_MIB] [-r ROUNDS] [-t SECONDS] [-b BENCH] [-B EARLIER_BENCH]" >&2; exit 2 ;;
  esac
done
here=$(cd "$(dirname "$0")/.." && pwd)
[ -n "$bench" ] || bench=$here/build/bin/bench_disk_4k
[ -x "$bench" ] || { echo "build bench_disk_4k first" >&2; exit 1; }
command -v fio >/dev/null || { echo "fio is not installed" >&2; exit 1; }
work=$(mktemp -d "$dir/disk_4k_vs_fio.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
file=$work/test.bin
results=$work/results.txt
: >"$results"
dd if=/dev/urandom of="$file" bs=1M count="$mib" oflag=direct status=none
size=$((mib * 1048576))

for op in read write; do
  awk -v f="$file" -v op="$op" -v size="$size" -v seed="$(od -An -N4 -tu4 /dev/urandom)" 'BEGIN {
    srand(seed); blocks = int(size / 4096)
    print "fio version 2 iolog"; print f " add"; print f " open"
    for (n = 0; n < 2000000; n++) printf "%s %s %.0f 4096\n", f, op, int(int(rand() * 1000) * blocks / 1000) * 4096
    print f " close" }' >"$work/$op.log"
done

# ours ROUND [BINARY LABEL]
ours() {
  SORVANTA_BENCH_FILE=$file SORVANTA_BENCH_MS=$((secs * 1000)) "${2:-$bench}" --benchmark_format=json >"$work/ours.json"
  python3 - "$1" "$work/ours.json" "${3:-ours}" >>"$results" <<'PY'
import json, sys
for b in json.load(open(sys.argv[2]))["benchmarks"]:
    t = "4kwrite" if "Write" in b["name"] else "4kread"
    print(sys.argv[1], t, sys.argv[3], "%.2f" % b["MBps"])
PY
  if [ -z "${2:-}" ] && [ -n "$before" ]; then ours "$1" "$before" before; fi
}

theirs() {
  for op in write read; do
    out=$(fio --output-format=terse --terse-version=3 --name=$op --filename="$file" --direct=1 --ioengine=psync \
      --iodepth=1 --read_iolog="$work/$op.log" --replay_no_stall=1 --runtime="$secs" --thread)
    echo "$out" | tail -n 1 | awk -F';' -v r="$1" -v op="$op" '{ printf "%s 4k%s fio %.2f\n", r, op, (op == "read" ? $7 : $48) / 1024 }' >>"$results"
  done
}

r=1
while [ "$r" -le "$rounds" ]; do
  if [ $((r % 2)) -eq 1 ]; then ours "$r"; theirs "$r"; else theirs "$r"; ours "$r"; fi
  r=$((r + 1))
done

printf '%-8s %5s %10s %10s %10s\n' test round ours fio before
for t in 4kwrite 4kread; do
  awk -v t="$t" '$2 == t { v[$1 " " $3] = $4; if ($1 > n) n = $1 } END { for (r = 1; r <= n; r++) printf "%-8s %5d %10s %10s %10s\n", t, r, v[r " ours"], v[r " fio"], (v[r " before"] == "" ? "-" : v[r " before"]) }' "$results"
done
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
printf '\n%-8s %10s %10s %7s %10s %7s\n' test ours fio ratio before ratio
for t in 4kwrite 4kread; do
  o=$(awk -v t="$t" '$2 == t && $3 == "ours" { print $4 }' "$results" | median)
  f=$(awk -v t="$t" '$2 == t && $3 == "fio" { print $4 }' "$results" | median)
  b=$(awk -v t="$t" '$2 == t && $3 == "before" { print $4 }' "$results" | median)
  printf '%-8s %10.2f %10.2f %7.3f %10.2f %7.3f\n' "$t" "$o" "$f" "$(awk -v o="$o" -v f="$f" 'BEGIN { print o / f }')" \
    "${b:-0}" "$(awk -v o="${b:-0}" -v f="$f" 'BEGIN { print o / f }')"
done
