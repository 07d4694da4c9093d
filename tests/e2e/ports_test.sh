#!/bin/sh
# The COM port mapping of the test prefix: COM1 and COM2 reach a socat pty
# pair only while socat's links exist; COM3/COM4 are mapped to paths that
# never exist and must not behave as serial ports. Under Wine 8 CreateFile on
# a mapped port with a missing link succeeds; GetCommState then fails (1), so
# "opens" here means opened and answering GetCommState.
# Usage: sh ports_test.sh <windows build folder>
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
qv_e2e_begin e2e_ports

rm -f "$QV_PORTS/COM1" "$QV_PORTS/COM2"
qv_probe port-open COM1 >/dev/null 2>&1 && qv_fail "COM1 works without its link"
qv_check "null modem links made" qv_nullmodem_start
qv_check "COM1 opens through the link" qv_probe port-open COM1
qv_check "COM2 opens through the link" qv_probe port-open COM2
qv_probe port-open COM3 >/dev/null 2>&1 && qv_fail "COM3 works though it never exists"
qv_probe port-open COM4 >/dev/null 2>&1 && qv_fail "COM4 works though it never exists"
qv_probe port-open COM9 >/dev/null 2>&1 && qv_fail "unmapped COM9 works"
qv_nullmodem_stop
qv_probe port-open COM1 >/dev/null 2>&1 && qv_fail "COM1 still works after socat ended"
# A Linux-side peer instead of COM2, as the simulator uses it.
qv_check "links COM1 <-> Linux peer" qv_nullmodem_start "$QV_RUN/peer"
qv_check "COM1 opens with a Linux peer" qv_probe port-open COM1
qv_nullmodem_stop
[ -e "$QV_RUN/peer" ] && qv_fail "peer link left behind"
qv_e2e_end
