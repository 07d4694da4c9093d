#!/bin/sh
# The Windows package: packed from this build, unpacked into a folder with a
# space in its name, checked file by file (checksums, imports, version
# resource, manifest), and its qorvex.exe started from there with a
# qorvex.ini beside it, which then keeps the settings instead of the registry.
# Usage: sh dist_test.sh <windows build folder>
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
qv_e2e_begin e2e_dist

out="$QV_RUN/dist"
rm -rf "$out"
zip=$(sh "$QV_ROOT/tools/dist/make_dist.sh" "$QV_BUILD" "$out") || qv_fail "make_dist failed"
version=$(cat "$QV_BUILD/version.txt")
name="qorvex-$version-win64"
[ "$zip" = "$out/$name.zip" ] && [ -s "$zip" ] && qv_pass "zip $name.zip" || qv_fail "zip '$zip'"

unpacked="$out/un packed"
mkdir -p "$unpacked"
unzip -q "$zip" -d "$unpacked" || qv_fail "unzip failed"
dir="$unpacked/$name"
files=$(cd "$dir" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
wanted=$( { echo LICENSE.txt README.txt SHA256SUMS THIRD-PARTY-NOTICES.txt qorvex.exe tallydump.exe \
    dashboard/index.html dashboard/mqtt.min.js dashboard/mqtt.LICENSE.md
  for lua in "$QV_ROOT"/tools/wireshark/*.lua; do [ -f "$lua" ] && basename "$lua"; done; } | tr ' ' '\n' | sort | tr '\n' ' ')
[ "$files" = "$wanted" ] && qv_pass "contents: $files" || qv_fail "contents '$files', wanted '$wanted'"
# README.txt's list of the folder names exactly what the zip holds.
listed=$(tr -d '\r' <"$dir/README.txt" | sed -n '/^What is in this folder/,/^$/p' | awk 'NR > 2 && NF {print $1}' | sort | tr '\n' ' ')
[ "$listed" = "$files" ] && qv_pass "README.txt lists the folder" || qv_fail "README.txt lists '$listed', the zip holds '$files'"
(cd "$dir" && sha256sum -c --quiet SHA256SUMS) && qv_pass "SHA256SUMS match" || qv_fail "checksums"
[ "$(wc -l <"$dir/SHA256SUMS")" -eq $(($(find "$dir" -type f | wc -l) - 1)) ] && qv_pass "every other file summed" || qv_fail "SHA256SUMS lines"
grep -q "Qorvex $version for Windows" "$dir/README.txt" && qv_pass "README names the version" || qv_fail "README version"
grep -q "$(printf '\r')$" "$dir/README.txt" && qv_pass "README has Windows line ends" || qv_fail "README line ends"
grep -qi 'renumber\|COM Port Number' "$dir/README.txt" && qv_fail "README asks to renumber a port"
# The dashboard loads the script beside it; the script comes with its licence.
grep -q '<script src="mqtt.min.js">' "$dir/dashboard/index.html" && [ -s "$dir/dashboard/mqtt.min.js" ] &&
  grep -qi 'MIT' "$dir/dashboard/mqtt.LICENSE.md" && qv_pass "dashboard: page, script and its licence" ||
  qv_fail "dashboard files incomplete"

for exe in qorvex.exe tallydump.exe; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$dir/$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
  case "$dlls" in
    *libstdc++*|*libgcc*|*libwinpthread*|*vcruntime*|*msvcp*) qv_fail "$exe imports a runtime DLL: $dlls" ;;
    *) qv_pass "$exe imports system DLLs only: $dlls" ;;
  esac
done
# The version resource (UTF-16 strings) and the manifest (UTF-8).
strings -el "$dir/qorvex.exe" | grep -qx "$version" && qv_pass "version resource holds $version" || qv_fail "no version $version"
strings -el "$dir/qorvex.exe" | grep -qx "Qorvex tally feed diagnostic tool" && qv_pass "file description" || qv_fail "no FileDescription"
manifest=$(strings "$dir/qorvex.exe" | tr -d '\n')
for want in 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' '<dpiAware' '>system</dpiAwareness>' \
  'level="asInvoker"' '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}' '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'; do
  printf '%s' "$manifest" | grep -qF "$want" && qv_pass "manifest: $want" || qv_fail "manifest lacks $want"
done

tdv=$(qv_wine "$QV_RUN/tallydump_version" "$dir/tallydump.exe" --version 2>/dev/null)
[ "$tdv" = "tallydump (Qorvex) $version" ] && qv_pass "tallydump --version: $tdv" || qv_fail "tallydump --version says '$tdv', the zip $version"

# Started from the unpacked folder, as a portable copy.
: >"$dir/qorvex.ini"
wine reg delete 'HKCU\Software\Qorvex' /f >/dev/null 2>&1 </dev/null
qv_app_start "$dir/qorvex.exe"
qv_check "unpacked qorvex.exe: main window" qv_app_wait_window 20000
qv_check "About" qv_probe command 104
qv_check "About box" qv_probe wait-dialog About 10000
about=$(qv_probe dialog-text About)
qv_count "$about" 'text="QORVEX Version 1.0"$' 1 "About still says QORVEX Version 1.0"
qv_count "$about" "text=\"Build $version\"\$" 1 "About names the build $version, as the zip does"
qv_probe click About 1 >/dev/null
qv_probe wait-gone About 10000 >/dev/null
qv_screenshot "$QV_ARTIFACTS/dist_unpacked.png"
qv_check "Exit" qv_probe command 32775
qv_app_wait 20; rc=$?
[ $rc -eq 0 ] && qv_pass "unpacked qorvex.exe ended with status 0" || qv_fail "status $rc"
ini=$(tr -d '\r' <"$dir/qorvex.ini")
printf '%s\n' "$ini" | grep -qx '\[Qorvex\]' && printf '%s\n' "$ini" | grep -q '^WindowRight=[0-9-]*$' &&
  qv_pass "settings kept in qorvex.ini beside the exe" || qv_fail "qorvex.ini: $ini"
wine reg query 'HKCU\Software\Qorvex' >/dev/null 2>&1 </dev/null && qv_fail "registry written although qorvex.ini exists"
qv_e2e_end
