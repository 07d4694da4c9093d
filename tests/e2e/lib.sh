# Shared part of the end-to-end scripts (POSIX sh): sets up the Wine
# environment around one script and gives small checking helpers.
# Usage: QV_ROOT=... QV_BUILD=<windows build> . tests/e2e/lib.sh; qv_e2e_begin NAME
. "$QV_ROOT/tests/wine/env.sh"

QV_FAILS=0

# Prefix, display and wineserver for this script; all ended on exit. A
# DISPLAY given by the caller (the Makefile's Xvfb) is used as it is.
qv_e2e_begin() {
  QV_TEST_NAME=$1
  QV_ARTIFACTS="$QV_BUILD/artifacts"
  mkdir -p "$QV_ARTIFACTS"
  qv_trap_cleanup
  qv_wine_prefix_ensure || exit 1
  qv_display_ensure || exit 1
  qv_wineserver_start || exit 1
  # qorvex.exe remembers its settings: every script starts from the defaults.
  wine reg delete 'HKCU\Software\Qorvex' /f >/dev/null 2>&1 </dev/null
}

qv_fail() {
  echo "FAIL: $*" >&2
  QV_FAILS=$((QV_FAILS + 1))
}

qv_pass() { echo "ok: $*"; }

# qv_check DESC CMD...: the command must succeed.
qv_check() {
  _desc=$1; shift
  if "$@"; then qv_pass "$_desc"; else qv_fail "$_desc (status $?)"; fi
}

# qv_has TEXT LINE DESC: TEXT must hold LINE as one whole line.
qv_has() {
  if printf '%s\n' "$1" | grep -Fxq -- "$2"; then qv_pass "$3"; else
    qv_fail "$3: no line '$2' in:"; printf '%s\n' "$1" | sed 's/^/    /' >&2
  fi
}

# qv_count TEXT REGEX N DESC: exactly N lines of TEXT match REGEX.
qv_count() {
  _n=$(printf '%s\n' "$1" | grep -Ec -- "$2")
  if [ "$_n" -eq "$3" ]; then qv_pass "$4"; else qv_fail "$4: $_n lines match '$2', expected $3"; fi
}

# Ends the script: status 1 when any check failed.
qv_e2e_end() {
  if [ "$QV_FAILS" -ne 0 ]; then
    echo "$QV_TEST_NAME: $QV_FAILS check(s) failed" >&2
    exit 1
  fi
  echo "$QV_TEST_NAME: all checks passed"
  exit 0
}

# Exit, answering the question Exit asks while connected with a log or a
# recording open ("Exit Qorvex", OK ends) when it comes.
qv_exit_app() {
  qv_probe command 32775 >/dev/null || return 1
  if qv_probe wait-dialog "Exit Qorvex" 3000 >/dev/null 2>&1; then
    qv_probe click "Exit Qorvex" 1 >/dev/null || return 1
  fi
  return 0
}
