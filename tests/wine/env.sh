# Wine test environment for qorvex: sourced (POSIX sh) by the Makefile, the
# end-to-end scripts and the demo. Every process started here is recorded by
# pid and ended by that pid in qv_cleanup; nothing is killed by name.
#
# Settings (environment, all optional):
#   QV_ROOT        the repository (required)
#   QV_BUILD       Windows build folder (default <repo>/build/windows)
#   WINEPREFIX     Wine prefix (default $QV_BUILD/wineprefix)
#   QV_PORTS       folder of the COM port links (default $QV_BUILD/ports)
#   QV_RUN         folder for logs of this run (default $QV_BUILD/run)
#   QV_PORT_NUMBERS  the COMn mapped in the prefix (default "1 2 3 4")
#   QV_NULLMODEM_NAME  the port link the null modem makes (default COM1)
#
# Facts about Wine 8 this relies on (measured):
# - COM1..COM4 are mapped through HKLM\Software\Wine\Ports (value COMn = a
#   Linux path). Wine's mount manager reads the key when the wineserver
#   session starts and rewrites dosdevices/comN then, also for paths that do
#   not exist yet; a change made while a wineserver runs takes effect only
#   after `wineserver -k`. The link target is resolved at CreateFile time, so
#   socat may create the pty link after Wine has started: CreateFile("COM1")
#   succeeds while the link exists and fails (error 2) when it does not.
# - `wineserver -p` daemonises itself and stays until `wineserver -k`;
#   starting it when one already runs for the prefix is harmless.
# - wine's helper processes inherit pipes and keep them open, so wine's
#   output always goes to files, never into a pipe or $(...).

# A sourced file cannot find itself in POSIX sh: callers set QV_ROOT.
: "${QV_ROOT:?set QV_ROOT to the repository before sourcing tests/wine/env.sh}"
: "${QV_BUILD:=$QV_ROOT/build/windows}"
: "${WINEPREFIX:=$QV_BUILD/wineprefix}"
: "${QV_PORTS:=$QV_BUILD/ports}"
: "${QV_RUN:=$QV_BUILD/run}"
: "${QV_PORT_NUMBERS:=1 2 3 4}"
: "${QV_NULLMODEM_NAME:=COM1}"
WINEDEBUG=${WINEDEBUG:--all}
WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
mkdir -p "$QV_RUN"

QV_XVFB_PID=
QV_SOCAT_PID=
QV_APP_PID=
QV_WINESERVER_STARTED=

qv_log() { echo "[qv] $*" >&2; }

# qv_wine OUTBASE EXE ARGS...: runs EXE under Wine in the foreground with its
# output in OUTBASE.out/.err, then prints both; returns the program's status.
qv_wine() {
  _base=$1; shift
  wine "$@" >"$_base.out" 2>"$_base.err" </dev/null
  _rc=$?
  tr -d '\r' <"$_base.out"
  grep -v -e 'wine32 is missing' -e 'multiarch needs' -e 'dpkg --add-architecture' \
    -e 'execute "dpkg' -e 'apt-get install wine32' "$_base.err" >&2
  return $_rc
}

# Creates the prefix once and maps COMn ($QV_PORT_NUMBERS, default COM1..COM4)
# to $QV_PORTS/COMn. The mapping is written before anything else runs in the
# prefix and the wineserver is then stopped, so that the next start installs
# the links.
qv_wine_prefix_ensure() {
  _mark="$WINEPREFIX/.qorvex-ports"
  _want="$QV_PORTS"
  [ "$QV_PORT_NUMBERS" = "1 2 3 4" ] || _want="$QV_PORTS $QV_PORT_NUMBERS"
  if [ -f "$WINEPREFIX/system.reg" ] && [ "$(cat "$_mark" 2>/dev/null)" = "$_want" ]; then
    return 0
  fi
  mkdir -p "$QV_PORTS" "$(dirname "$WINEPREFIX")"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    qv_log "creating Wine prefix $WINEPREFIX"
    wineboot -i >"$QV_RUN/wineboot.out" 2>"$QV_RUN/wineboot.err" </dev/null || {
      qv_log "wineboot failed"; cat "$QV_RUN/wineboot.err" >&2; return 1; }
  fi
  for _n in $QV_PORT_NUMBERS; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$_n" /t REG_SZ /d "$QV_PORTS/COM$_n" /f \
      >"$QV_RUN/reg.out" 2>"$QV_RUN/reg.err" </dev/null || { qv_log "reg add COM$_n failed"; return 1; }
  done
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  echo "$_want" >"$_mark"
}

# Starts a private X server on a free display and exports DISPLAY.
qv_xvfb_start() {
  [ -n "$QV_XVFB_PID" ] && return 0
  _fdfile="$QV_RUN/xvfb.display"
  rm -f "$_fdfile"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$_fdfile" \
    >"$QV_RUN/xvfb.log" 2>&1 </dev/null &
  QV_XVFB_PID=$!
  _i=0
  while [ ! -s "$_fdfile" ]; do
    _i=$((_i + 1))
    if [ $_i -gt 100 ] || ! kill -0 "$QV_XVFB_PID" 2>/dev/null; then
      qv_log "Xvfb did not start"; cat "$QV_RUN/xvfb.log" >&2; QV_XVFB_PID=; return 1
    fi
    sleep 0.1
  done
  DISPLAY=":$(head -n1 "$_fdfile")"
  export DISPLAY
  qv_log "Xvfb pid $QV_XVFB_PID on $DISPLAY"
}

qv_xvfb_stop() {
  [ -n "$QV_XVFB_PID" ] || return 0
  kill "$QV_XVFB_PID" 2>/dev/null
  wait "$QV_XVFB_PID" 2>/dev/null
  QV_XVFB_PID=
}

# A display is needed by every GUI test; start our own unless one is given.
qv_display_ensure() {
  if [ -z "${DISPLAY:-}" ]; then qv_xvfb_start; fi
}

# Starts a persistent wineserver for the prefix (it daemonises itself). When
# an outer script owns it (QV_WINESERVER_OWNED=1, e.g. the whole test run),
# single tests neither start nor stop it: a restart costs the Wine services'
# start-up every time.
qv_wineserver_start() {
  [ -n "${QV_WINESERVER_OWNED:-}" ] && return 0
  wineserver -p >"$QV_RUN/wineserver.out" 2>"$QV_RUN/wineserver.err" </dev/null
  QV_WINESERVER_STARTED=1
}

qv_wineserver_stop() {
  [ -n "$QV_WINESERVER_STARTED" ] || return 0
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  QV_WINESERVER_STARTED=
}

# qv_nullmodem_start [PEER]: a socat pty pair linking $QV_PORTS/COM1 (or
# $QV_NULLMODEM_NAME) to PEER (default $QV_PORTS/COM2, i.e. COM1 <-> COM2
# inside Wine); waits for both links.
qv_nullmodem_start() {
  qv_nullmodem_stop
  _peer=${1:-$QV_PORTS/COM2}
  _near="$QV_PORTS/$QV_NULLMODEM_NAME"
  mkdir -p "$QV_PORTS"
  rm -f "$_near" "$_peer"
  socat "pty,raw,echo=0,link=$_near" "pty,raw,echo=0,link=$_peer" \
    >"$QV_RUN/socat.log" 2>&1 </dev/null &
  QV_SOCAT_PID=$!
  QV_SOCAT_PEER=$_peer
  _i=0
  while [ ! -e "$_near" ] || [ ! -e "$_peer" ]; do
    _i=$((_i + 1))
    if [ $_i -gt 100 ] || ! kill -0 "$QV_SOCAT_PID" 2>/dev/null; then
      qv_log "socat did not make the links"; cat "$QV_RUN/socat.log" >&2; qv_nullmodem_stop; return 1
    fi
    sleep 0.05
  done
}

qv_nullmodem_stop() {
  [ -n "$QV_SOCAT_PID" ] || return 0
  kill "$QV_SOCAT_PID" 2>/dev/null
  wait "$QV_SOCAT_PID" 2>/dev/null
  rm -f "$QV_PORTS/$QV_NULLMODEM_NAME" "${QV_SOCAT_PEER:-}"
  QV_SOCAT_PID=
}

# qv_app_start EXE ARGS...: starts a Windows program in the background
# (output in $QV_RUN/app.out/.err); its pid is QV_APP_PID.
qv_app_start() {
  wine "$@" >"$QV_RUN/app.out" 2>"$QV_RUN/app.err" </dev/null &
  QV_APP_PID=$!
}

# qv_app_wait [TIMEOUT_S]: waits for the background program to end; its exit
# status becomes ours (124 on time-out, the program is then left to cleanup).
qv_app_wait() {
  _t=${1:-20}
  _i=0
  while kill -0 "$QV_APP_PID" 2>/dev/null; do
    _i=$((_i + 1))
    [ $_i -gt $((_t * 10)) ] && return 124
    sleep 0.1
  done
  wait "$QV_APP_PID"
  _rc=$?
  QV_APP_PID=
  return $_rc
}

qv_app_stop() {
  [ -n "$QV_APP_PID" ] || return 0
  kill "$QV_APP_PID" 2>/dev/null
  wait "$QV_APP_PID" 2>/dev/null
  QV_APP_PID=
}

# qv_probe ARGS...: runs qvprobe.exe; prints its output, returns its status.
qv_probe() {
  qv_wine "$QV_RUN/probe" "$QV_BUILD/bin/qvprobe.exe" "$@"
}

# qv_screenshot FILE: the whole virtual screen as an image.
qv_screenshot() {
  mkdir -p "$(dirname "$1")"
  import -window root -display "$DISPLAY" "$1"
}

# Ends everything this shell started, each by its own pid.
qv_cleanup() {
  qv_app_stop
  qv_nullmodem_stop
  qv_wineserver_stop
  qv_xvfb_stop
}

qv_trap_cleanup() {
  trap 'qv_cleanup' EXIT
  trap 'qv_cleanup; exit 130' INT
  trap 'qv_cleanup; exit 143' TERM
}
