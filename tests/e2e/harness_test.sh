#!/bin/sh
# Checks the black-box harness (qvprobe and its hook) against qvtarget.exe, a
# window whose menu and dialog are known here: every reading and action the
# end-to-end tests of qorvex.exe rely on.
# Usage: sh harness_test.sh <windows build folder>
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
qv_e2e_begin e2e_harness
export QVPROBE_CLASS=qvtarget

# Nothing there yet: the probe must say so rather than succeed.
qv_probe wait-window qvtarget 300 >/dev/null 2>&1 && qv_fail "wait-window found a window that does not exist"
qv_probe command 200 >/dev/null 2>&1 && qv_fail "command succeeded without a target"

qv_app_start "$QV_BUILD/bin/qvtarget.exe"
qv_check "target window appears (by class)" qv_probe wait-window qvtarget 20000
qv_check "target window found by title" qv_probe wait-window "Probe Target" 1000

menu=$(qv_probe menu); rc=$?
[ $rc -eq 0 ] || qv_fail "menu read failed ($rc)"
qv_has "$menu" '0	0	popup	"&File"' "menu: File popup"
qv_has "$menu" '0.0	200	-	"&Dialog..."' "menu: Dialog item with its id"
qv_has "$menu" '0.1	0	separator,grayed	""' "menu: separator (always grayed)"
qv_has "$menu" '0.2	201	-	"E&xit"' "menu: Exit item"
qv_has "$menu" '1.0	202	grayed	"&Grayed"' "menu: grayed state"
qv_has "$menu" '1.1	203	checked	"&Checked"' "menu: checked state"
qv_has "$menu" '1.2.0	204	-	"Tab\tAlt+T"' "menu: nested popup and tab escaped"
qv_count "$menu" '.' 9 "menu: exactly the 9 items"
# The hook answers every request, not only the first.
menu2=$(qv_probe menu)
[ "$menu2" = "$menu" ] && qv_pass "menu: second read equal" || qv_fail "menu: second read differs"

qv_check "open the dialog" qv_probe command 200
qv_check "dialog appears" qv_probe wait-dialog "Probe Dialog" 10000
# The hook answers from inside the dialog's modal loop too.
qv_has "$(qv_probe menu)" '0.0	200	-	"&Dialog..."' "menu read while the modal dialog runs"
text=$(qv_probe dialog-text "Probe Dialog")
qv_has "$text" 'dialog	"Probe Dialog"' "dialog: header"
qv_has "$text" 'rows	1001	count=2	sel=-1' "list: count and no selection"
qv_has "$text" 'row	1001	0	"ME 1 \"PGM\""' "list: row 0 whole (W calls), quotes escaped"
qv_has "$text" 'row	1001	1	"Kamera ü 2"' "list: non-ASCII row as UTF-8"
qv_has "$text" 'rows	1002	count=2	sel=1' "combo: count and selection"
qv_has "$text" 'row	1002	1	"115200"' "combo: item text"
qv_has "$text" 'ctl	1003	Button	enabled=1	visible=1	check=1	text="Check me"' "checkbox: checked"
qv_has "$text" 'ctl	1004	Edit	enabled=1	visible=1	text="edit\ttext"' "edit: text of another process"
qv_has "$text" 'ctl	1005	Button	enabled=0	visible=1	text="Disabled"' "button: disabled"
qv_probe click "Probe Dialog" 1005 >/dev/null 2>&1 && qv_fail "click on a disabled button succeeded"
qv_check "click Add row" qv_probe click "Probe Dialog" 1006
sleep 0.3
text=$(qv_probe dialog-text "Probe Dialog")
qv_has "$text" 'row	1001	2	"row 2"' "list: row added by the click"
qv_check "screenshot" qv_screenshot "$QV_ARTIFACTS/harness_dialog.png"
[ -s "$QV_ARTIFACTS/harness_dialog.png" ] || qv_fail "screenshot file empty"
qv_check "close the dialog" qv_probe close "Probe Dialog"
qv_check "dialog gone" qv_probe wait-gone "Probe Dialog" 10000
qv_probe dialog-text "Probe Dialog" >/dev/null 2>&1 && qv_fail "dialog-text on a closed dialog succeeded"

qv_check "Exit command" qv_probe command 201
qv_app_wait 20; rc=$?
[ $rc -eq 0 ] && qv_pass "target ended with status 0" || qv_fail "target status $rc"
qv_e2e_end
