#!/bin/sh
# The engine's 4 KiB random write and read at queue depth 1 beside fio (psync, direct=1)
# on one file, with the same kind of positions (1000 evenly spread 4 KiB positions, one
# drawn at random per I/O), alternating which tool goes first, and the medians.
#
#   bench/disk_4k_vs_fio.sh [-d DIR] [-s SIZE_MIB] [-r ROUNDS] [-t SECONDS] [-c CPU] [-b BENCH] [-B EARLIER_BENCH]
#
# -B adds a column for another build of bench_disk_4k (an earlier engine), run in the same
# rounds, for a before/after table.
# Besides the medians of MB/s it prints the median of the per-round ratios (each round's
# figures were taken minutes apart at most, so a device that changes speed over time hurts
# them less) and each program's CPU time per I/O (user + system of the measuring thread,
# getrusage for both), which the device's speed does not enter.
# -c CPU runs every program on that processor only (taskset). At queue depth 1 the figure
# depends on whether the thread runs on the processor that takes the device's completion
# interrupts (see /proc/interrupts): on a virtual machine with two processors the same
# program measured 54-59 MB/s there and 33-37 MB/s on the other, and unpinned programs
# move between the two every few seconds, which swamps any difference between them.
# DIR (default /var/tmp) must accept O_DIRECT; the file (default 1024 MiB) is written once
# and deleted at the end.
set -eu
dir=/var/tmp
mib=1024
rounds=5
secs=10
bench=
before=
cpu=
while getopts d:s:r:t:c:b:B: opt; do
  case $opt in
    d) dir=$OPTARG ;;
    s) mib=$OPTARG ;;
    r) rounds=$OPTARG ;;
    t) secs=$OPTARG ;;
    c) cpu=$OPTARG ;;
    b) bench=$OPTARG ;;
    B) before=$OPTARG ;;
    *) echo "usage: $0 [-d DIR] [-s SIZE_MIB] [-r ROUNDS] [-t SECONDS] [-c CPU] [-b BENCH] [-B EARLIER_BENCH]" >&2; exit 2 ;;
  esac
done
here=$(cd "$(dirname "$0")/.." && pwd)
[ -n "$bench" ] || bench=$here/build/bin/bench_disk_4k
[ -x "$bench" ] || { echo "build bench_disk_4k first" >&2; exit 1; }
command -v fio >/dev/null || { echo "fio is not installed" >&2; exit 1; }
pin=
if [ -n "$cpu" ]; then
  pin="taskset -c $cpu"
  $pin true || { echo "cannot run on processor $cpu" >&2; exit 1; }
fi
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
  SORVANTA_BENCH_FILE=$file SORVANTA_BENCH_MS=$((secs * 1000)) $pin "${2:-$bench}" --benchmark_format=json >"$work/ours.json"
  python3 - "$1" "$work/ours.json" "${3:-ours}" >>"$results" <<'PY'
import json, sys
for b in json.load(open(sys.argv[2]))["benchmarks"]:
    t = "4kwrite" if "Write" in b["name"] else "4kread"
    print(sys.argv[1], t, sys.argv[3], "%.2f" % b["MBps"])
    if "cpu_us_per_io" in b:
        print(sys.argv[1], t, sys.argv[3] + "-cpu", "%.2f" % b["cpu_us_per_io"])
PY
  if [ -z "${2:-}" ] && [ -n "$before" ]; then ours "$1" "$before" before; fi
}

theirs() {
  for op in write read; do
    out=$($pin fio --output-format=terse --terse-version=3 --name=$op --filename="$file" --direct=1 --ioengine=psync \
      --iodepth=1 --read_iolog="$work/$op.log" --replay_no_stall=1 --runtime="$secs" --thread)
    # Terse v3: read KB, KB/s, IOPS, ms in fields 6-9, the write ones in 47-50; usr and sys
    # CPU in per cent of the run time in 88 and 89.
    echo "$out" | tail -n 1 | awk -F';' -v r="$1" -v op="$op" '{
      kb = (op == "read" ? $6 : $47); ms = (op == "read" ? $9 : $50)
      printf "%s 4k%s fio %.2f\n", r, op, (op == "read" ? $7 : $48) / 1024
      if (kb > 0) printf "%s 4k%s fio-cpu %.2f\n", r, op, ($88 + $89) / 100 * ms * 1000 / (kb / 4) }' >>"$results"
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
median() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print ""; else print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
# pick TEST LABEL: the figures of one program in one test, a line per round.
pick() { awk -v t="$1" -v l="$2" '$2 == t && $3 == l { print $4 }' "$results"; }
# ratios TEST A B: A over B in each round both have.
ratios() { awk -v t="$1" -v a="$2" -v b="$3" '$2 == t && $3 == a { x[$1] = $4 } $2 == t && $3 == b { y[$1] = $4 }
  END { for (r in x) if ((r in y) && y[r] > 0) print x[r] / y[r] }' "$results"; }
# show VALUE [FORMAT]: the value, or "-" when there is none.
show() { [ -n "$1" ] && printf "${2:-%.2f}" "$1" || printf '-'; }
ratio() { [ -n "$1" ] && [ -n "$2" ] && awk -v o="$1" -v f="$2" 'BEGIN { printf "%.3f", o / f }' || printf '-'; }
printf '\n%-8s %8s %8s %7s %7s %10s %10s %8s %7s\n' test ours fio ratio paired "cpu/io us" "fio cpu/io" before ratio
for t in 4kwrite 4kread; do
  o=$(pick $t ours | median); f=$(pick $t fio | median); b=$(pick $t before | median)
  p=$(ratios $t ours fio | median)
  printf '%-8s %8s %8s %7s %7s %10s %10s %8s %7s\n' "$t" "$(show "$o")" "$(show "$f")" "$(ratio "$o" "$f")" \
    "$(show "$p" %.3f)" "$(show "$(pick $t ours-cpu | median)")" "$(show "$(pick $t fio-cpu | median)")" \
    "$(show "$b")" "$(ratio "$b" "$f")"
done
