#!/usr/bin/env bash
# Time and bytes written of the quick probe against the full capacity check on the same fake
# drives (FUSE files under loop devices, tests/capacity/fake_drive_fuse.cpp), and how much
# flush data it takes to get past a drive's write cache. Needs root, /dev/fuse and a build.
# Usage: bench/probe_vs_full.sh [BUILD_DIR]
set -euo pipefail
bin=$(cd "${1:-build}/bin" && pwd)
work=$(mktemp -d /tmp/sorvanta-probe-bench-XXXXXX)
loop= fuse_pid=
cleanup_drive() {
  mountpoint -q "$work/vol" && umount "$work/vol"
  [ -z "$loop" ] || losetup -d "$loop"
  mountpoint -q "$work/mnt" && fusermount3 -u "$work/mnt"
  [ -z "$fuse_pid" ] || wait "$fuse_pid" 2>/dev/null || true
  loop= fuse_pid=
  rm -f "$work/backing"
}
trap 'cleanup_drive; rm -rf "$work"' EXIT
mkdir -p "$work/mnt" "$work/vol" "$work/backup"
export SORVANTA_PROBE_BACKUP_DIR=$work/backup
MiB=$((1024 * 1024))

drive() {  # drive CLAIMED_MIB REAL_MIB MODE [CACHE_MIB]
  truncate -s $(($2 * MiB)) "$work/backing"
  "$bin/fake_drive_fuse" "$work/mnt" "$work/backing" $(($1 * MiB)) $(($2 * MiB)) "$3" $((${4:-0} * MiB)) &
  fuse_pid=$!
  for _ in $(seq 500); do [ -s "$work/mnt/disk" ] && break; sleep 0.01; done
  loop=$(losetup -f --show "$work/mnt/disk")
}
probe() {  # probe [--flush-mib N]: prints seconds, bytes written, verdict, kind, estimate
  "$bin/sorvanta-probe-helper" --force "$@" "$loop" < /dev/null 2> /dev/null |
    python3 -c 'import json,sys; j=json.load(sys.stdin); print(j["seconds"], j["bytesWritten"], j["verdict"], j["failureKind"] or "-", j["realCapacityEstimate"] or "-")'
}

echo "claimed real mode | probe: s bytes verdict kind estimate | full: s bytes verdict kind estimate"
for cfg in "1024 128 wrap" "1024 512 drop" "2048 256 wrap" "4096 512 drop" "4096 256 wrap" "1024 1024 honest"; do
  set -- $cfg
  drive "$1" "$2" "$3"
  mkfs.ext4 -q -F -O ^has_journal "$loop"  # all metadata near the start: it mounts on a fake
  p=$(probe)
  full="(did not mount)"
  if mount "$loop" "$work/vol" 2> /dev/null; then
    start=$(date +%s.%N)
    out=$("$bin/sorvanta-cli" capacity "$work/vol" --yes --json 2> /dev/null || true)
    end=$(date +%s.%N)
    full=$(python3 -c 'import json,sys; j=json.loads(sys.argv[1]); print(round(float(sys.argv[3])-float(sys.argv[2]),1), j["writtenBytes"], j["verdict"], j["failureKind"] or "-", j["realCapacityEstimate"] or "-")' "$out" "$start" "$end")
  fi
  echo "$1M $2M $3 | $p | $full"
  cleanup_drive
done

echo
echo "write cache: cache_MiB flush_MiB -> verdict kind (wrap 1024M over 128M)"
for cache in 8 32 64; do
  for flush in 0 16 32 64 96; do
    drive 1024 128 wrap "$cache"
    echo "$cache $flush -> $(probe --flush-mib "$flush" | cut -d' ' -f3,4)"
    cleanup_drive
  done
done
