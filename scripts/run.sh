#!/usr/bin/env bash
# Installs what is missing, builds, then shows the main job end to end: a
# simulated VQ571M is programmed with two images by vq_flash, and the
# simulator's flash is compared byte for byte with them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
bash "$root/scripts/build.sh"
build=${BUILD_DIR:-$root/build}

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/ports" "$work/flash"
head -c 300000 /dev/urandom > "$work/app.bin"
head -c 70000 /dev/urandom > "$work/data.bin"

"$build/vq_chip_sim" --port-dir "$work/ports" --flash-dir "$work/flash" --model VQ571M \
  --ram-code "$build/config/VQ571M_RAM_BIN.bin" --pace > "$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do grep -q '^COM1 ' "$work/sim.out" && break; sleep 0.1; done
echo "simulator: $(head -n1 "$work/sim.out")"

"$build/vq_flash" --port "$work/ports/COM1" --baud 921600 \
  "$work/app.bin@0x0" "$work/data.bin@0x100000"

cmp -n 300000 "$work/app.bin" "$work/flash/COM1.bin"
cmp -n 70000 "$work/data.bin" "$work/flash/COM1.bin" 0 $((0x100000))
echo "flash of COM1 holds both images byte for byte"
