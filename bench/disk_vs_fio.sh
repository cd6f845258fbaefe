#!/bin/sh
# Runs the disk engine (sorvanta-cli disk) and fio with the equivalent jobs on one folder
# and one size, alternating the two over several rounds, and prints every pair, the
# medians and the ratio of the medians (ours / fio).
#
#   bench/disk_vs_fio.sh [-d DIR] [-s GIB] [-r ROUNDS] [-b CLI] [-q]
#
# -q compares only the sequential tests: our run is stopped with Ctrl-C (SIGINT) once the
# sequential read has reported, so more rounds fit in the same time.
#
# DIR (default /var/tmp) must lie on a block-device file system that accepts O_DIRECT;
# the test files go there and are deleted afterwards. GIB (default 4) is the sequential
# size: pick one the page cache and the host's cache cannot hide. Both tools use
# synchronous I/O with one request in flight per thread:
#   seqwrite  16 MiB blocks written from an empty file        fio rw=write bs=16M
#   seqread   16 MiB blocks read back                          fio rw=read bs=16M
#   4kwrite   4 KiB random writes over the file, 20 s         fio rw=randwrite bs=4k
#   4kread    4 KiB random reads, 20 s                         fio rw=randread bs=4k
#   64twrite  64 threads, each 4 KiB random writes in its own 1/64 of the file, 20 s
#   64tread   the same with reads
# The engine's random tests visit only 1000 evenly spread 4 KiB positions of the file (of
# each worker's region), which a drive's cache may hold. So the "fio" column replays the
# same kind of positions (k x blocks / 1000, k random in 0..999) from generated I/O logs,
# which is the equivalent job; "fio whole" is fio's usual random job over the whole file
# (or region) and shows how much the narrow position set flatters a drive.
set -eu

dir=/var/tmp
gib=4
rounds=3
cli=
quick=0
while getopts d:s:r:b:q opt; do
  case $opt in
    d) dir=$OPTARG ;;
    s) gib=$OPTARG ;;
    r) rounds=$OPTARG ;;
    b) cli=$OPTARG ;;
    q) quick=1 ;;
    *) echo "usage: $0 [-d DIR] [-s GIB] [-r ROUNDS] [-b CLI] [-q]" >&2; exit 2 ;;
  esac
done
here=$(cd "$(dirname "$0")/.." && pwd)
[ -n "$cli" ] || cli=$here/build/bin/sorvanta-cli
command -v fio >/dev/null || { echo "fio is not installed" >&2; exit 1; }
[ -x "$cli" ] || { echo "build sorvanta-cli first ($cli)" >&2; exit 1; }

dir=$(cd "$dir" && pwd)
root=$(findmnt -n -o TARGET -T "$dir")
size=$((gib * 1073741824))
region=$((size / 64))
work=$(mktemp -d "$dir/disk_vs_fio.XXXXXX")
fiofile=$work/fio_test.bin
results=$work/results.txt
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# Our engine puts its file in the temporary folder when that folder is on the volume.
ours() {
  if [ "$quick" = 1 ]; then
    TMPDIR=$work/ "$cli" disk "$root" --size "${gib}G" --json 2>"$work/ours.log" >"$work/ours.json" &
    pid=$!
    while kill -0 "$pid" 2>/dev/null && ! grep -q '顺序读取均速' "$work/ours.log"; do sleep 0.2; done
    kill -INT "$pid" 2>/dev/null || true
    wait "$pid" || true
    if [ -e "$work/diskwritetest.bin" ]; then echo "the stopped run left its test file" >&2; exit 1; fi
  elif ! TMPDIR=$work/ "$cli" disk "$root" --size "${gib}G" --json 2>"$work/ours.log" >"$work/ours.json"; then
    cat "$work/ours.log" >&2
    exit 1
  fi
  # The average lines (not the cells, which hold the in-cache peak after a cache drop). The
  # command line prints each log line on one line: "[>]顺序写入： 535.71MB/s".
  awk -v r="$1" '
    function put(t) { v = $2; sub("MB/s", "", v); print r, t, "ours", v }
    /^\[>\]顺序写入：/ { put("seqwrite") }
    /^\[>\]顺序读取均速：/ { put("seqread") }
    /^\[>\]4K随机写均速：/ { put("4kwrite") }
    /^\[>\]4K随机读均速：/ { put("4kread") }
    /^\[>\]64并发4k写入均速：/ { put("64twrite") }
    /^\[>\]64并发4k读取均速：/ { put("64tread") }' "$work/ours.log" >>"$results"
}

# One fio job; prints MB/s (1 MB = 1,048,576 bytes) of the given direction.
fio_mbs() {
  dirn=$1
  shift
  out=$(fio --output-format=terse --terse-version=3 --filename="$fiofile" --direct=1 --ioengine=sync \
    --iodepth=1 --group_reporting --thread "$@") || { echo "fio failed" >&2; exit 1; }
  echo "$out" | tail -n 1 | awk -F';' -v d="$dirn" '{ printf "%.2f\n", (d == "read" ? $7 : $48) / 1024 }'
}

# I/O logs with the engine's positions: 4k_<op>.log for the single-thread test and
# mt_<op>_<i>.log for worker i of the 64.
make_logs() {
  for op in read write; do
    awk -v f="$fiofile" -v op="$op" -v size="$size" -v seed="$(od -An -N4 -tu4 /dev/urandom)" 'BEGIN {
      srand(seed); blocks = int(size / 4096)
      print "fio version 2 iolog"; print f " add"; print f " open"
      for (n = 0; n < 600000; n++) printf "%s %s %.0f 4096\n", f, op, int(int(rand() * 1000) * blocks / 1000) * 4096
      print f " close" }' >"$work/4k_$op.log"
    awk -v f="$fiofile" -v op="$op" -v region="$region" -v w="$work" -v seed="$(od -An -N4 -tu4 /dev/urandom)" 'BEGIN {
      srand(seed); rb = int(region / 4096)
      for (i = 0; i < 64; i++) {
        out = w "/mt_" op "_" i ".log"
        print "fio version 2 iolog" >out; print f " add" >out; print f " open" >out
        for (n = 0; n < 25000; n++) printf "%s %s %.0f 4096\n", f, op, i * region + int(int(rand() * 1000) * rb / 1000) * 4096 >out
        print f " close" >out; close(out) } }'
  done
}

replay64() {
  op=$1
  set --
  i=0
  while [ $i -lt 64 ]; do
    set -- "$@" --name="mt$op$i" --read_iolog="$work/mt_${op}_$i.log"
    i=$((i + 1))
  done
  fio_mbs "$op" --replay_no_stall=1 --runtime=20 "$@"
}

theirs() {
  r=$1
  rm -f "$fiofile"
  printf '%s seqwrite fio %s\n' "$r" "$(fio_mbs write --name=seqwrite --rw=write --bs=16M --size=$size --fallocate=none)" >>"$results"
  printf '%s seqread fio %s\n' "$r" "$(fio_mbs read --name=seqread --rw=read --bs=16M --size=$size)" >>"$results"
  if [ "$quick" = 1 ]; then
    rm -f "$fiofile"
    return
  fi
  # The engine's positions, replayed.
  printf '%s 4kwrite fio %s\n' "$r" "$(fio_mbs write --name=4kwrite --read_iolog="$work/4k_write.log" \
    --replay_no_stall=1 --runtime=20)" >>"$results"
  printf '%s 4kread fio %s\n' "$r" "$(fio_mbs read --name=4kread --read_iolog="$work/4k_read.log" \
    --replay_no_stall=1 --runtime=20)" >>"$results"
  printf '%s 64twrite fio %s\n' "$r" "$(replay64 write)" >>"$results"
  printf '%s 64tread fio %s\n' "$r" "$(replay64 read)" >>"$results"
  # fio's usual random jobs over the whole file.
  printf '%s 4kwrite whole %s\n' "$r" "$(fio_mbs write --name=4kwrite --rw=randwrite --bs=4k --size=$size \
    --norandommap --randrepeat=0 --time_based --runtime=20)" >>"$results"
  printf '%s 4kread whole %s\n' "$r" "$(fio_mbs read --name=4kread --rw=randread --bs=4k --size=$size \
    --norandommap --randrepeat=0 --time_based --runtime=20)" >>"$results"
  printf '%s 64twrite whole %s\n' "$r" "$(fio_mbs write --name=64twrite --rw=randwrite --bs=4k --numjobs=64 \
    --size=$region --offset_increment=$region --norandommap --randrepeat=0 --time_based --runtime=20)" >>"$results"
  printf '%s 64tread whole %s\n' "$r" "$(fio_mbs read --name=64tread --rw=randread --bs=4k --numjobs=64 \
    --size=$region --offset_increment=$region --norandommap --randrepeat=0 --time_based --runtime=20)" >>"$results"
  rm -f "$fiofile"
}

echo "volume $root, folder $dir, sequential size ${gib} GiB, $rounds rounds" >&2
: >"$results"
[ "$quick" = 1 ] || make_logs
r=1
while [ "$r" -le "$rounds" ]; do
  # Alternate which tool goes first so that drift over time hits both alike.
  if [ $((r % 2)) -eq 1 ]; then
    echo "round $r: ours, then fio" >&2
    ours "$r"
    theirs "$r"
  else
    echo "round $r: fio, then ours" >&2
    theirs "$r"
    ours "$r"
  fi
  r=$((r + 1))
done

tests="seqwrite seqread 4kwrite 4kread 64twrite 64tread"
[ "$quick" = 0 ] || tests="seqwrite seqread"
printf '\n%-9s %5s %12s %12s %12s\n' test round "ours MB/s" "fio MB/s" "fio whole"
for t in $tests; do
  r=1
  while [ "$r" -le "$rounds" ]; do
    row=$(awk -v r="$r" -v t="$t" '$1 == r && $2 == t { v[$3] = $4 } END { print v["ours"], v["fio"], (v["whole"] == "" ? "-" : v["whole"]) }' "$results")
    # shellcheck disable=SC2086
    printf '%-9s %5s %12s %12s %12s\n' "$t" "$r" $row
    r=$((r + 1))
  done
done

median() {
  sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
printf '\n%-9s %12s %12s %8s %12s %8s\n' test "median ours" "median fio" ratio "fio whole" ratio
for t in $tests; do
  o=$(awk -v t="$t" '$2 == t && $3 == "ours" { print $4 }' "$results" | median)
  f=$(awk -v t="$t" '$2 == t && $3 == "fio" { print $4 }' "$results" | median)
  w=$(awk -v t="$t" '$2 == t && $3 == "whole" { print $4 }' "$results" | median)
  printf '%-9s %12.2f %12.2f %8.3f %12.2f %8.3f\n' "$t" "$o" "$f" "$(awk -v o="$o" -v f="$f" 'BEGIN { print (f > 0 ? o / f : 0) }')" \
    "$w" "$(awk -v o="$o" -v f="$w" 'BEGIN { print (f > 0 ? o / f : 0) }')"
done
