#!/usr/bin/env bash
# Sets up a Debian line PC for vq_download_tool, as root:
#
#   sudo bash scripts/setup-line-pc.sh --user NAME [--archive FILE]
#
# - installs the packages the tool needs at run time;
# - installs a udev rule for the USB-serial bridges of the fixtures (CH340/
#   CH341, CP210x, FTDI, PL2303): the group dialout may read and write them,
#   and ModemManager leaves them alone instead of probing them with AT
#   commands for seconds after each plug-in;
# - adds NAME to the group dialout;
# - warns when brltty is installed, which takes CH340 adapters away;
# - unpacks the release archive (--archive FILE, else
#   $BUILD_DIR/vq_download_tool.zip, by default under ./build) into NAME's
#   home, where upliftor can go on updating it; settings, counters and logs
#   already there are kept;
# - adds a desktop entry with the tool's icon (from this clone's resources/).
#
# It never builds or downloads the tool. Run again, it changes only what
# differs, and it says what it changed.
#
# --root DIR stages everything under DIR instead (DIR/etc/udev/rules.d, DIR
# plus NAME's home as the password database gives it) and then installs no
# package and changes no user; it needs no root.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
archive="${BUILD_DIR:-$here/build}/vq_download_tool.zip"
user=${SUDO_USER:-}
stage=

# The tool's run-time libraries, the Chinese font its windows are drawn in,
# and unzip for the archive.
packages=(libqt5widgets5 libqt5network5 libqt5serialport5 libqt5multimedia5 libqt5charts5
  libqt5sql5-sqlite libqt5sql5-psql fonts-wqy-microhei unzip)
icon_source="$here/resources/img/setting.png"
rule_name=70-vq-usb-serial.rules
desktop_name=vq_download_tool.desktop

fail() {
  echo "setup-line-pc: $*" >&2
  exit 1
}

while [ $# -gt 0 ]; do
  case $1 in
    --user) [ $# -ge 2 ] || fail "--user needs a name"; user=$2; shift 2 ;;
    --archive) [ $# -ge 2 ] || fail "--archive needs a file"; archive=$2; shift 2 ;;
    --root) [ $# -ge 2 ] || fail "--root needs a folder"; stage=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) fail "unknown argument \"$1\" (--help shows the usage)" ;;
  esac
done

# Everything is checked before anything is changed.
if [ -z "$stage" ] && [ "$(id -u)" -ne 0 ]; then
  fail "run it as root (sudo), or stage it with --root DIR"
fi
[ -n "$user" ] || fail "--user NAME: the user who runs the tool on this PC"
entry=$(getent passwd "$user") || fail "no user \"$user\""
IFS=: read -r _ _ uid gid _ home _ <<< "$entry"
[ -f "$archive" ] || fail "no release archive at $archive: build it first (bash scripts/build.sh) or give --archive FILE"
if [ -n "$stage" ]; then
  mkdir -p "$stage"
  stage=$(cd "$stage" && pwd)
elif [ ! -d "$home" ]; then
  fail "the home of $user ($home) does not exist"
fi
[ -f "$icon_source" ] || fail "the tool's icon $icon_source is missing: run the script from its clone"
command -v unzip > /dev/null || [ -z "$stage" ] || fail "unzip is missing (apt-get install unzip)"

changes=0
changed() {
  echo "changed: $*"
  changes=$((changes + 1))
}

# Hands what this script made to the user, so that the tool and upliftor,
# running as that user, can write there; as another user nobody could.
give() {
  [ "$(id -u)" -eq 0 ] || return 0
  chown -h "$uid:$gid" "$@"
}

# Creates a folder below the user's home with every missing parent, all the
# user's.
user_dir() {
  local d=$1 made=()
  while [ ! -d "$d" ]; do
    made=("$d" "${made[@]}")
    d=$(dirname "$d")
  done
  [ ${#made[@]} -gt 0 ] || return 0
  mkdir -p "$1"
  give "${made[@]}"
}

# place SOURCE TARGET: copies SOURCE with its mode, as the user's, unless
# TARGET already holds it; true when it copied.
place() {
  local source=$1 target=$2 mode
  mode=$(stat -c %a "$source")
  if [ -f "$target" ] && cmp -s "$source" "$target" && [ "$(stat -c %a "$target")" = "$mode" ]; then
    return 1
  fi
  user_dir "$(dirname "$target")"
  cp "$source" "$target.new"
  chmod "$mode" "$target.new"
  give "$target.new"
  mv -f "$target.new" "$target"
}

# put FILE MODE TEXT: writes TEXT (and a line end) unless FILE already holds
# it with that mode; true when it wrote.
put() {
  local file=$1 mode=$2 text=$3
  if [ -f "$file" ] && printf '%s\n' "$text" | cmp -s - "$file" && [ "$(stat -c %a "$file")" = "$mode" ]; then
    return 1
  fi
  printf '%s\n' "$text" > "$file.new"
  chmod "$mode" "$file.new"
  mv -f "$file.new" "$file"
}

# 1. Packages.
if [ -n "$stage" ]; then
  echo "staging under $stage: no packages installed, user $user left as it is"
else
  missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    changed "installed ${missing[*]}"
  fi
fi

# 2. The udev rule. A rule numbered below ModemManager's own (77-mm-*, 80-mm-*)
# marks the port before they look at it.
rules_dir="$stage/etc/udev/rules.d"
mkdir -p "$rules_dir"
rule='# Installed by scripts/setup-line-pc.sh of vq_download_tool.
# The USB-serial bridges of the line'"'"'s fixtures: the group dialout may read
# and write them, and ModemManager leaves them alone (its probe holds a new
# port for seconds and sends AT commands that a boot ROM answers with garbage).
# CH340/CH341
SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ATTRS{idVendor}=="1a86", ATTRS{idProduct}=="7523|7522|5523", GROUP="dialout", MODE="0660", ENV{ID_MM_DEVICE_IGNORE}="1"
SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ATTRS{idVendor}=="4348", ATTRS{idProduct}=="5523", GROUP="dialout", MODE="0660", ENV{ID_MM_DEVICE_IGNORE}="1"
# CP210x
SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ATTRS{idVendor}=="10c4", GROUP="dialout", MODE="0660", ENV{ID_MM_DEVICE_IGNORE}="1"
# FTDI
SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ATTRS{idVendor}=="0403", GROUP="dialout", MODE="0660", ENV{ID_MM_DEVICE_IGNORE}="1"
# PL2303
SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ATTRS{idVendor}=="067b", GROUP="dialout", MODE="0660", ENV{ID_MM_DEVICE_IGNORE}="1"'
if put "$rules_dir/$rule_name" 644 "$rule"; then
  changed "udev rule $rules_dir/$rule_name (group dialout, mode 0660, ModemManager keeps away)"
  if [ -z "$stage" ] && command -v udevadm > /dev/null; then
    # Adapters already plugged in get the rule now, not at their next plug.
    udevadm control --reload-rules
    udevadm trigger --subsystem-match=tty --action=add
  fi
fi

# 3. The group.
if [ -z "$stage" ] && ! id -nG "$user" | tr ' ' '\n' | grep -qx dialout; then
  usermod -aG dialout "$user"
  changed "added $user to the group dialout (it takes effect at $user's next login)"
fi

# 4. brltty's udev rules claim the CH340's ids for braille displays, and the
# adapter vanishes a second after it is plugged in.
dpkg_dir=()
[ -z "$stage" ] || dpkg_dir=(--admindir="$stage/var/lib/dpkg")
if { [ -z "$stage" ] || [ -f "$stage/var/lib/dpkg/status" ]; } \
  && dpkg-query "${dpkg_dir[@]}" -W -f='${Status}' brltty 2>/dev/null | grep -q 'install ok installed'; then
  echo "warning: brltty is installed: it takes CH340/CH341 adapters (1a86:7523) for braille displays and they" \
    "vanish right after being plugged in. Unless this PC drives a braille display: apt-get remove brltty" >&2
fi

# 5. The program folder, unpacked (not a package), so that upliftor running
# as the user can replace it with the next release.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
unzip -q "$archive" -d "$unpacked" || fail "cannot unpack $archive"
tops=("$unpacked"/*)
if [ ${#tops[@]} -ne 1 ] || [ ! -d "${tops[0]}" ]; then
  fail "$archive does not hold one program folder"
fi
folder=$(basename "${tops[0]}")
dest="$stage$home/$folder"
user_dir "$dest"
while IFS= read -r -d '' file; do
  if place "$file" "$dest/${file#"${tops[0]}"/}"; then
    changed "$dest/${file#"${tops[0]}"/}"
  fi
done < <(find "${tops[0]}" -type f -print0 | sort -z)
# An installation made as another user (root, an older setup) would keep
# the tool from writing its settings and upliftor from replacing it.
if [ "$(id -u)" -eq 0 ]; then
  foreign=$(find "$dest" \( ! -uid "$uid" -o ! -gid "$gid" \) -print0 | tr -dc '\0' | wc -c)
  if [ "$foreign" -gt 0 ]; then
    find "$dest" \( ! -uid "$uid" -o ! -gid "$gid" \) -exec chown -h "$uid:$gid" {} +
    changed "gave $foreign file(s) and folder(s) under $dest to $user"
  fi
fi

# 6. The desktop entry, with the start window's icon; the tool finds config/
# and log/ in its working folder.
icon="$home/.local/share/icons/vq_download_tool.png"
if place "$icon_source" "$stage$icon"; then
  changed "icon $stage$icon"
fi
apps="$stage$home/.local/share/applications"
user_dir "$apps"
entry_text="[Desktop Entry]
Type=Application
Name=$folder
Comment=VQ571M / VQ5304 串口烧录
Exec=\"$home/$folder/vq_download_tool\"
Path=$home/$folder
Icon=$icon
Terminal=false
Categories=Development;Electronics;"
if put "$apps/$desktop_name" 644 "$entry_text"; then
  give "$apps/$desktop_name"
  changed "desktop entry $apps/$desktop_name"
fi

if [ "$changes" -eq 0 ]; then
  echo "nothing to change: this PC was already set up for $user"
else
  echo "$changes change(s) for $user"
fi
