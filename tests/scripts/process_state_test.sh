#!/usr/bin/env bash
# Fails when engine code keeps mutable process-wide state: a variable at namespace scope or
# a function-local static that is not constant (the compiler puts those in writable data).
# Reads the symbols of the engine libraries of a build tree; platform/ is left out, since its
# singletons wrap the operating system.
# Usage: process_state_test.sh <build tree>
set -euo pipefail
lib="$1/lib"
folders=(base service cpubench diskbench capacity usbtest)

# What may stay, and why.
allowed=(
  # The process's one log file, owned by the application.
  'sorvanta::Singleton<sorvanta::xLogMessager>::instance_'
  'sorvanta::\(anonymous namespace\)::LoggerGate\(\)::gate'
  # libcurl's global initialisation is process-wide by its nature.
  'sorvanta::\(anonymous namespace\)::(curlInitOnce|curlReady|requestsInFlight)'
  # The language of the texts, chosen once at start-up like the locale it goes with.
  'sorvanta::\(anonymous namespace\)::(g_language|t_source)'
  # The client tag, read once and fixed for the life of the process.
  'sorvanta::ClientTag\[abi:cxx11\]\(\)::tag'
)
allowed_re="^(guard variable for )?($(IFS='|'; echo "${allowed[*]}"))$"

found=0
for folder in "${folders[@]}"; do
  archive="$lib/libsorvanta_$folder.a"
  if [ ! -f "$archive" ]; then
    echo "missing $archive" >&2
    exit 2
  fi
  # Objects ("O") in .bss/.data/.tbss/.tdata sections (read-only relocated data excluded),
  # named in the project's namespace.
  while IFS= read -r name; do
    [ -z "$name" ] && continue
    if ! [[ "$name" =~ $allowed_re ]]; then
      echo "src/$folder: mutable process-wide state: $name"
      found=1
    fi
  done < <(objdump -t -C "$archive" | awk -F'\t' '
    $1 ~ / O / {
      n = split($1, f, " "); sec = f[n]
      if (sec ~ /^\.(bss|data|tbss|tdata)/ && sec !~ /^\.data\.rel\.ro/) {
        name = $2; sub(/^[0-9a-f]+ +/, "", name); sub(/^\.hidden /, "", name)
        if (name ~ /^(guard variable for )?sorvanta::/) print name
      }
    }' | sort -u)
done
if [ "$found" -ne 0 ]; then
  echo "Pass state in (options, events, a stop token, an object the caller owns) instead."
  exit 1
fi
echo "no mutable process-wide state in ${folders[*]}"
