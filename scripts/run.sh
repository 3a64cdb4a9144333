#!/usr/bin/env bash
# Installs what is missing, builds, and starts a production line of 16
# simulated chips with the real tool in factory mode.
#
# With a display the tool's windows open: choose "工厂模式" with 16 devices,
# tick the two demo images (already in the file rows), select the panels and
# press "开始烧录". Without one (a server, CI) one production run is driven
# offscreen through the window's own start button; each station's result and
# the production record are printed, every simulated flash is compared with
# the images byte for byte, and a picture of the window is written.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
build=${BUILD_DIR:-$root/build}
# Only the programs the demo and the README's examples run (vq_flash, and
# the search vq_records, whose target is vq_records_search): the test suites
# (scripts/test.sh builds them) would keep a newcomer waiting minutes for the
# first chip.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target vq_chip_sim vq_download_tool vq_factory_station vq_flash vq_records_search
stations=16

demo="$build/demo"
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
rm -rf "$demo/ports" "$demo/flash" "$demo/log"
mkdir -p "$demo/ports" "$demo/flash"
head -c 300000 /dev/urandom > "$demo/app.bin"
head -c 70000 /dev/urandom > "$demo/data.bin"

"$build/vq_chip_sim" --port-dir "$demo/ports" --flash-dir "$demo/flash" --count "$stations" \
  --model VQ571M --pace > "$demo/sim.out" &
sim_pid=$!
for _ in $(seq 100); do [ "$(wc -l < "$demo/sim.out")" -ge "$stations" ] && break; sleep 0.1; done
echo "simulated chips: $(awk '{print $1}' "$demo/sim.out" | tr '\n' ' ')"
echo "their ports:     $demo/ports"
export VQ_SIM_PORT_DIR="$demo/ports"

if [ -n "${DISPLAY:-}" ] && [ -z "${CI:-}" ]; then
  # The file rows start filled in with the demo images.
  cfg="$build/config/cfg_file.json"
  [ -f "$cfg" ] && cp "$cfg" "$cfg.before-demo"
  cat > "$cfg" <<EOF
{
    "baud_rate": "2000000", "lock_flag": "0", "reset_flag": "1", "high_flag": "0",
    "continue_flag": "0", "boot_flag": "0", "all_cnt": "0", "ok_cnt": "0", "err_cnt": "0",
    "file_path_0": "$demo/app.bin", "path_sta_0": "1", "file_addr_0": "0",
    "file_path_1": "$demo/data.bin", "path_sta_1": "1", "file_addr_1": "100000",
    "file_path_2": "", "path_sta_2": "0", "file_addr_2": "",
    "file_path_3": "", "path_sta_3": "0", "file_addr_3": "",
    "file_path_4": "", "path_sta_4": "0", "file_addr_4": ""
}
EOF
  echo "starting vq_download_tool: choose 工厂模式, 16 devices; select the panels and press 开始烧录"
  # The line's panels are the simulated chips, not this machine's own ports.
  VQ_SYSTEM_PORTS=0 "$build/vq_download_tool" || true
  [ -f "$cfg.before-demo" ] && mv "$cfg.before-demo" "$cfg"
  exit 0
fi

export QT_QPA_PLATFORM=offscreen VQ_SYSTEM_PORTS=0
mkdir -p "$demo/config"
cp "$build"/config/*.bin "$demo/config/"
rm -f "$demo/config/cfg_file.json"
export VQ_CONFIG_DIR="$demo/config"
(
  cd "$demo"
  "$build/tests/vq_factory_station" --stations "$stations" --baud 2000000 \
    --image "$demo/app.bin@0" --image "$demo/data.bin@100000" \
    --start --until-done --report --shot "$demo/factory-run.png" 2> "$demo/station.err"
)
for n in $(awk '{print $1}' "$demo/sim.out"); do
  cmp -n 300000 "$demo/app.bin" "$demo/flash/$n.bin"
  cmp -n 70000 "$demo/data.bin" "$demo/flash/$n.bin" 0 $((0x100000))
done
echo "the flash of all $stations chips holds both images byte for byte"
echo "picture of the window: $demo/factory-run.png; daily log and record: $demo/log/"
