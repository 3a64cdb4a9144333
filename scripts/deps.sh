#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# missing, and any further packages named as arguments.
set -euo pipefail
pkgs=(
  cmake g++ make pkg-config
  qtbase5-dev libqt5serialport5-dev qtmultimedia5-dev qttools5-dev-tools libqt5charts5-dev
  qttranslations5-l10n
  zlib1g-dev
  libqt5sql5-sqlite libqt5sql5-psql postgresql
  lrzsz zip unzip p7zip-full libarchive-tools python3
  xvfb xauth fonts-wqy-microhei
  "$@"
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
