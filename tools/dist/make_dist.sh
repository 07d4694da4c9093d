#!/bin/sh
# Packs the Windows build into build/dist/qorvex-VERSION-win64.zip: qorvex.exe,
# tallydump.exe, the Wireshark dissector when there is one, the fleet
# dashboard (dashboard/: the page, its MQTT-over-WebSockets script from npm,
# pinned by tools/dashboard/package-lock.json, and that script's licence),
# the README for Windows users, the licence texts and SHA256SUMS, in one folder.
# Usage: sh tools/dist/make_dist.sh [windows build folder] [output folder]
set -eu
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$QV_ROOT/build/windows}" && pwd)
out=${2:-$QV_ROOT/build/dist}
version=$(cat "$build/version.txt")
name="qorvex-$version-win64"
stage="$out/$name"

for exe in qorvex.exe tallydump.exe; do
  [ -f "$build/bin/$exe" ] || { echo "make_dist: $build/bin/$exe is missing" >&2; exit 1; }
done
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage"
for exe in qorvex.exe tallydump.exe; do
  x86_64-w64-mingw32-strip -o "$stage/$exe" "$build/bin/$exe"
done
# Runs alone: nothing but Windows' own DLLs may be imported.
for exe in qorvex.exe tallydump.exe; do
  foreign=$(x86_64-w64-mingw32-objdump -p "$stage/$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    grep -viE '^(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|shell32|setupapi|msvcrt|ws2_32|ole32|crypt32)\.dll$' || true)
  [ -z "$foreign" ] || { echo "make_dist: $exe needs $foreign" >&2; exit 1; }
done
for lua in "$QV_ROOT"/tools/wireshark/*.lua; do
  [ -f "$lua" ] && cp "$lua" "$stage/"
done
# The dashboard's script as npm pins it (production dependencies only).
npm="$build/dashboard-npm"
mkdir -p "$npm"
cp "$QV_ROOT/tools/dashboard/package.json" "$QV_ROOT/tools/dashboard/package-lock.json" "$npm/"
(cd "$npm" && npm ci --omit=dev --no-audit --no-fund --silent) >&2 || { echo "make_dist: npm ci for the dashboard failed" >&2; exit 1; }
mkdir -p "$stage/dashboard"
cp "$QV_ROOT/tools/dashboard/index.html" "$npm/node_modules/mqtt/dist/mqtt.min.js" "$stage/dashboard/"
cp "$npm/node_modules/mqtt/LICENSE.md" "$stage/dashboard/mqtt.LICENSE.md"
# Text files with Windows line ends, so that Notepad on any version shows them.
crlf() { sed 's/\r$//; s/$/\r/' "$1" >"$2"; }
sed "s/@VERSION@/$version/g" "$QV_ROOT/docs/windows/README.txt" >"$stage/README.tmp"
crlf "$stage/README.tmp" "$stage/README.txt"
rm -f "$stage/README.tmp"
crlf "$QV_ROOT/LICENSE" "$stage/LICENSE.txt"
crlf "$QV_ROOT/docs/windows/THIRD-PARTY-NOTICES.txt" "$stage/THIRD-PARTY-NOTICES.txt"
(cd "$stage" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum -b -- >"$out/SHA256SUMS.tmp" &&
  mv "$out/SHA256SUMS.tmp" SHA256SUMS)
(cd "$out" && zip -q -X -r "$name.zip" "$name")
echo "$out/$name.zip"
