#!/bin/sh
# qorvex.exe with the ports a PC really has, its saved settings and its
# command line, driven from outside in a Wine prefix of its own that maps
# only COM3 and COM12 (COM12 is the null modem to a Linux peer):
# - the Settings port list: what the system lists plus COM1-COM4, numeric
#   order, absent ones marked; the saved settings shown, damaged values at
#   their defaults; a change saved alone;
# - connecting to COM12 and receiving; the port vanishing ("Port lost") and
#   coming back (reconnected automatically); the window's place saved;
# - an absent saved port kept and shown absent;
# - command-line options used for the run and not saved; bad options and
#   --help as one message box with exit status 2 and 0.
# Usage: sh ports_settings.sh <windows build folder>
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WINEPREFIX="$QV_BUILD/wineprefix-ports"
QV_PORTS="$QV_BUILD/ports-e2e"
QV_RUN="$QV_BUILD/run/e2e_ports_settings"
QV_PORT_NUMBERS="3 12"
QV_NULLMODEM_NAME=COM12
# Our own prefix needs its own wineserver, whoever owns the shared one.
unset QV_WINESERVER_OWNED
export WINEPREFIX QV_PORTS QV_RUN
. "$QV_ROOT/tests/e2e/lib.sh"
qv_e2e_begin e2e_ports_settings
EXE="$QV_BUILD/bin/qorvex.exe"
PEER="$QV_RUN/peer"
KEY='HKCU\Software\Qorvex'
SETTINGS="TTY Settings..."

reg_set() { wine reg add "$KEY" /v "$1" /t "$2" /d "$3" /f >"$QV_RUN/reg.out" 2>&1 </dev/null; }
# reg_get NAME: "TYPE VALUE" of a saved value, empty when absent.
reg_get() {
  wine reg query "$KEY" /v "$1" >"$QV_RUN/regq.out" 2>/dev/null </dev/null
  tr -d '\r' <"$QV_RUN/regq.out" | awk -v n="$1" '$1 == n { print $2, $3 }'
}
# status_part N: text of part N of the status bar.
status_part() { qv_probe status-bar 2>/dev/null | awk -F '\t' -v n="$1" '$2 == n { gsub(/"/, "", $3); print $3 }'; }
# wait_status N TEXT [s]: part N shows TEXT within the time.
wait_status() {
  _i=0
  while [ "$(status_part "$1")" != "$2" ]; do
    _i=$((_i + 1))
    [ $_i -gt $((${3:-10} * 4)) ] && return 1
    sleep 0.25
  done
}
# combo ROWS_TEXT ID: "sel=N" and the rows of a combo box from dialog-text.
combo_sel() { printf '%s\n' "$1" | awk -F '\t' -v id="$2" '$1 == "rows" && $2 == id { sub(/sel=/, "", $4); print $4 }'; }
combo_rows() { printf '%s\n' "$1" | awk -F '\t' -v id="$2" '$1 == "row" && $2 == id { print $4 }'; }
check_of() { printf '%s\n' "$1" | awk -F '\t' -v id="$2" '$1 == "ctl" && $2 == id { for (i = 1; i <= NF; i++) if ($i ~ /^check=/) { sub(/check=/, "", $i); print $i } }'; }

open_settings() {
  qv_probe command 32772 >/dev/null && qv_probe wait-dialog "$SETTINGS" 10000 >/dev/null &&
    qv_probe dialog-text "$SETTINGS"
}
exit_app() {
  qv_probe command 32775 >/dev/null
  qv_app_wait 20; _rc=$?
  [ $_rc -eq 0 ] && qv_pass "$1: ended with status 0" || qv_fail "$1: status $_rc"
}

# ---- The list the system gives, read here independently of qorvex ---------
wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' >"$QV_RUN/serialcomm.out" 2>/dev/null </dev/null
present=$(tr -d '\r' <"$QV_RUN/serialcomm.out" | awk '$2 == "REG_SZ" && $3 ~ /^COM[0-9]+$/ { sub(/COM/, "", $3); print $3 }' | sort -n)
printf '%s\n' "$present" | grep -qx 12 || qv_fail "the prefix lists no COM12: $present"
printf '%s\n' "$present" | grep -qx 3 || qv_fail "the prefix lists no COM3: $present"
expected_rows=$( { printf '%s\n' $present; printf '1\n2\n3\n4\n'; } | sort -nu | while read -r n; do
  if printf '%s\n' "$present" | grep -qx "$n"; then echo "\"COM$n\""; else echo "\"COM$n (not present)\""; fi
done)
com12_row=$(printf '%s\n' "$expected_rows" | grep -nx '"COM12"' | cut -d: -f1)

# ---- Saved settings, some of them damaged -----------------------------------
wine reg delete "$KEY" /f >/dev/null 2>&1 </dev/null
reg_set Port REG_SZ COM12
reg_set BaudRate REG_DWORD 9600
reg_set DataBits REG_SZ eight          # not a number: default 8
reg_set Parity REG_DWORD 2             # even
reg_set StopBits REG_DWORD 7           # out of range: default one
reg_set DisplayErrors REG_DWORD 0
reg_set ReconnectAutomatically REG_DWORD 1

qv_check "null modem COM12 <-> Linux peer" qv_nullmodem_start "$PEER"
qv_app_start "$EXE"
qv_check "main window appears" qv_app_wait_window 20000
[ "$(status_part 0)" = "COM12 9600 8E1" ] && qv_pass "status bar: saved port and settings" ||
  qv_fail "status bar port part: '$(status_part 0)'"

text=$(open_settings) || qv_fail "Settings did not open"
rows=$(combo_rows "$text" 544)
if [ "$rows" = "$expected_rows" ]; then qv_pass "port list: system ports and COM1-COM4 in numeric order, absent marked"; else
  qv_fail "port list differs"; printf 'expected:\n%s\ngot:\n%s\n' "$expected_rows" "$rows" >&2; fi
[ "$(combo_sel "$text" 544)" = $((com12_row - 1)) ] && qv_pass "COM12 selected" || qv_fail "port selection $(combo_sel "$text" 544)"
[ "$(combo_sel "$text" 545)" = 6 ] && qv_pass "baud 9600 restored" || qv_fail "baud row $(combo_sel "$text" 545)"
[ "$(combo_sel "$text" 546)" = 3 ] && qv_pass "damaged data bits: 8" || qv_fail "data bits row $(combo_sel "$text" 546)"
[ "$(combo_sel "$text" 547)" = 1 ] && qv_pass "parity Even restored" || qv_fail "parity row $(combo_sel "$text" 547)"
[ "$(combo_sel "$text" 548)" = 0 ] && qv_pass "damaged stop bits: 1" || qv_fail "stop bits row $(combo_sel "$text" 548)"
[ "$(check_of "$text" 557)" = 0 ] && qv_pass "Display Errors off restored" || qv_fail "Display Errors $(check_of "$text" 557)"
[ "$(check_of "$text" 1200)" = 1 ] && qv_pass "Reconnect automatically restored" || qv_fail "Reconnect $(check_of "$text" 1200)"
qv_screenshot "$QV_ARTIFACTS/ports_settings.png"
qv_check "choose 19.2k" qv_probe select "$SETTINGS" 545 8
qv_check "Ok" qv_probe click "$SETTINGS" 1
qv_probe wait-gone "$SETTINGS" 10000 >/dev/null
[ "$(reg_get BaudRate)" = "REG_DWORD 0x4b00" ] && qv_pass "changed baud rate saved" || qv_fail "BaudRate: $(reg_get BaudRate)"
[ "$(reg_get DataBits)" = "REG_SZ eight" ] && qv_pass "unchanged values not rewritten" || qv_fail "DataBits: $(reg_get DataBits)"

# ---- Connect to COM12 and receive ------------------------------------------------
qv_check "Connect" qv_probe command 105
qv_probe wait-dialog "Qorvex V-1.0" 1500 >/dev/null 2>&1 && qv_fail "\"Connection failed.\" on COM12"
wait_status 1 "Connected, no data yet" || qv_fail "link state '$(status_part 1)' after Connect"
head -c 300 /dev/urandom >"$QV_RUN/bytes.bin"
cat "$QV_RUN/bytes.bin" >"$PEER"
wait_status 2 "300 bytes" && qv_pass "300 bytes received on COM12" || qv_fail "bytes part '$(status_part 2)'"
[ "$(status_part 1)" = "Receiving" ] && qv_pass "link state Receiving" || qv_fail "link state '$(status_part 1)'"

# ---- The port goes away and comes back -----------------------------------------------
qv_nullmodem_stop
wait_status 1 "Port lost" 10 && qv_pass "status bar: Port lost" || qv_fail "link state '$(status_part 1)' after the port vanished"
menu=$(qv_probe menu)
qv_has "$menu" '0.0	105	-	"Connect\tF5"' "after the loss: Connect enabled"
[ "$(status_part 2)" = "300 bytes" ] && qv_pass "what was received is kept" || qv_fail "bytes part '$(status_part 2)'"
qv_check "the port comes back" qv_nullmodem_start "$PEER"
wait_status 1 "Connected, no data yet" 15 && qv_pass "reconnected automatically" || qv_fail "link state '$(status_part 1)' after the port came back"
printf 'tally' >"$PEER"
wait_status 2 "5 bytes" && qv_pass "receiving again after the reconnect" || qv_fail "bytes part '$(status_part 2)'"
exit_app "first run"
[ -n "$(reg_get WindowRight)" ] && qv_pass "window placement saved" || qv_fail "no WindowRight saved"

# ---- An absent saved port is kept ---------------------------------------------------
reg_set Port REG_SZ COM40
qv_app_start "$EXE"
qv_check "second run: main window" qv_app_wait_window 20000
text=$(open_settings) || qv_fail "Settings did not open"
rows=$(combo_rows "$text" 544)
sel=$(combo_sel "$text" 544)
[ "$(printf '%s\n' "$rows" | tail -n1)" = '"COM40 (not present)"' ] && qv_pass "absent saved port listed last, marked" ||
  qv_fail "last row $(printf '%s\n' "$rows" | tail -n1)"
[ "$sel" = $(($(printf '%s\n' "$rows" | wc -l) - 1)) ] && qv_pass "absent saved port selected" || qv_fail "selection $sel"
qv_check "Ok without changes" qv_probe click "$SETTINGS" 1
qv_probe wait-gone "$SETTINGS" 10000 >/dev/null
[ "$(reg_get Port)" = "REG_SZ COM40" ] && qv_pass "absent port not replaced" || qv_fail "Port: $(reg_get Port)"
exit_app "second run"

# ---- Command line ----------------------------------------------------------------------
qv_app_start "$EXE" --port COM12 --baud 2400 --parity n --connect
qv_check "options run: main window" qv_app_wait_window 20000
wait_status 0 "COM12 2400 8N1" && qv_pass "options override the saved settings" || qv_fail "port part '$(status_part 0)'"
wait_status 1 "Connected, no data yet" && qv_pass "--connect connected at start" || qv_fail "link state '$(status_part 1)'"
exit_app "options run"
[ "$(reg_get BaudRate)" = "REG_DWORD 0x4b00" ] && [ "$(reg_get Parity)" = "REG_DWORD 0x2" ] &&
  qv_pass "options not saved" || qv_fail "saved BaudRate $(reg_get BaudRate), Parity $(reg_get Parity)"

# bad_option EXPECTED_TEXT ARGS...: one box naming it, the list, status 2.
bad_option() {
  _want=$1; shift
  qv_app_start "$EXE" "$@"
  if qv_probe wait-dialog "Qorvex V-1.0" 15000 >/dev/null; then
    _t=$(qv_probe dialog-text "Qorvex V-1.0")
    printf '%s' "$_t" | grep -qF "$_want" && printf '%s' "$_t" | grep -qF -- "--stop-bits 1|1.5|2" &&
      qv_pass "$*: box names the fault and lists the options" || qv_fail "$*: box text $_t"
    qv_probe click "Qorvex V-1.0" 1 >/dev/null
  else
    qv_fail "$*: no message box"
  fi
  qv_app_wait 20; _rc=$?
  [ $_rc -eq 2 ] && qv_pass "$*: exit status 2" || qv_fail "$*: exit status $_rc"
  qv_probe wait-gone qorvex 1000 >/dev/null || qv_fail "$*: a main window appeared"
}
bad_option 'unknown option --bogus' --bogus
bad_option 'bad value for --parity: \"X\"' --parity X
bad_option 'bad value for --port: \"COM300\"' --port COM300 --connect

qv_app_start "$EXE" --help
if qv_probe wait-dialog "Qorvex V-1.0" 15000 >/dev/null; then
  qv_probe dialog-text "Qorvex V-1.0" | grep -qF -- '--flow none|rtscts|dtrdsr' && qv_pass "--help lists the options" ||
    qv_fail "--help box text"
  qv_probe click "Qorvex V-1.0" 1 >/dev/null
else
  qv_fail "--help: no message box"
fi
qv_app_wait 20; rc=$?
[ $rc -eq 0 ] && qv_pass "--help: exit status 0" || qv_fail "--help: exit status $rc"
qv_e2e_end
