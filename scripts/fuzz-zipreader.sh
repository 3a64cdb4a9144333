#!/usr/bin/env bash
# Builds the ZIP reader's libFuzzer target with the address and undefined-
# behaviour sanitizers and runs it for a bounded time on a seed corpus made by
# Info-ZIP zip. Not part of the CTest suite.
# Usage: scripts/fuzz-zipreader.sh [seconds]   (default 60; FUZZ_DIR sets the work folder)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
work=${FUZZ_DIR:-$root/build-fuzz-zipreader}
mkdir -p "$work/corpus" "$work/seeds" "$work/artifacts"
bash "$root/scripts/deps.sh" clang libclang-rt-14-dev

clang++ -std=c++17 -g -O1 \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/updater/zipreader" \
  "$root/tests/fuzz/zipreader_fuzz.cpp" "$root/updater/zipreader/zipreader.cpp" \
  -lz -o "$work/zipreader_fuzz"

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/cfg/sub" "$tree/bin"
printf '{"VQ571M": "Jan 01 2020"}\n' > "$tree/cfg/chip_info.json"
: > "$tree/cfg/sub/empty"
seq 1 400 > "$tree/bin/count.txt"
head -c 700 /dev/urandom > "$tree/bin/noise.bin"
(
  cd "$tree"
  rm -f "$work"/seeds/*.zip
  zip -qr "$work/seeds/deflated.zip" .
  zip -qr0 "$work/seeds/stored.zip" .
  zip -qrX "$work/seeds/no-ut.zip" .
  zip -qrD "$work/seeds/no-folders.zip" .
  zip -qr -P pw "$work/seeds/encrypted.zip" .
  zip -qr0 -P pw "$work/seeds/encrypted-stored.zip" .
  zip -qr - . | cat > "$work/seeds/streamed.zip"
  zip -q -z "$work/seeds/comment.zip" cfg/chip_info.json <<< "release notes"
)

"$work/zipreader_fuzz" -max_total_time="$seconds" -max_len=16384 -timeout=20 \
  -artifact_prefix="$work/artifacts/" "$work/corpus" "$work/seeds"
