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
# Xlib keeps its resource database only when it holds something: on a bare
# Xvfb with no ~/.Xdefaults it reads the files afresh at every XGetDefault,
# which Wine calls for each font it selects (6,500 opens in 5 s of the
# history following a full-rate feed). One inert resource keeps it cached,
# so the figures measured here are not this rig's.
QV_XRESOURCES="$QV_RUN/xresources"
[ -f "$QV_XRESOURCES" ] || echo "qorvex.testrig: 1" >"$QV_XRESOURCES"
XENVIRONMENT=$QV_XRESOURCES
export XENVIRONMENT

QV_XVFB_PID=
QV_SOCAT_PID=
QV_APP_PID=
QV_WINESERVER_STARTED=

qv_log() { echo "[qv] $*" >&2; }

# qv_wine OUTBASE EXE ARGS...: runs EXE under Wine in the foreground with its
# output in OUTBASE.out/.err, then prints both; returns the program's status.
qv_wine() {
  qv_wine_within 0 "$@"
}

# qv_wine_within SECONDS OUTBASE EXE ARGS...: qv_wine, ended after SECONDS (0:
# no limit) with status 124 and a line saying so.
qv_wine_within() {
  _limit=$1 _base=$2; shift 2
  timeout "$_limit" wine "$@" >"$_base.out" 2>"$_base.err" </dev/null
  _rc=$?
  tr -d '\r' <"$_base.out"
  grep -v -e 'wine32 is missing' -e 'multiarch needs' -e 'dpkg --add-architecture' \
    -e 'execute "dpkg' -e 'apt-get install wine32' "$_base.err" >&2
  [ $_rc -eq 124 ] && qv_log "$(basename "$1") $2 did not end within $_limit s"
  return $_rc
}

# What else ran when something failed: every wineserver and every process
# of this prefix (the prefix read from each process's environment), and how
# many Wine processes of other prefixes there were.
qv_wine_processes() {
  _others=0
  for _p in $(ps -eo pid= -o args= | awk '/[w]ine|\.exe/ {print $1}'); do
    _pfx=$( (tr '\0' '\n' <"/proc/$_p/environ") 2>/dev/null | sed -n 's/^WINEPREFIX=//p')
    _line=$(ps -o pid= -o etime= -o args= -p "$_p" 2>/dev/null | cut -c1-110)
    [ -n "$_line" ] || continue
    case "$_line" in
      *wineserver*) ;;
      *) [ "$_pfx" = "$WINEPREFIX" ] || { _others=$((_others + 1)); continue; } ;;
    esac
    printf '    %s [prefix %s]\n' "$_line" "${_pfx:-?}"
  done
  echo "    and $_others Wine processes of other prefixes"
}

# qv_wineserver_gone SECONDS: waits, bounded, until no wineserver serves the
# prefix; 0 when there is none (any more).
qv_wineserver_gone() {
  [ -d "$WINEPREFIX" ] || return 0
  timeout "$1" wineserver -w >/dev/null 2>&1 </dev/null 8>&-
  [ $? -ne 124 ]
}

# qv_status_text STATUS: an exit status as words.
qv_status_text() {
  if [ "$1" -eq 124 ]; then echo "status 124 (time limit reached)"
  elif [ "$1" -gt 128 ]; then echo "status $1 (killed by signal $(($1 - 128)))"
  else echo "status $1"; fi
}

# One `wineboot -i` on a fresh prefix, bounded; on failure prints its status,
# its output and what else ran. Without DISPLAY: the prefix needs no window,
# and an X server that goes away meanwhile would end wineboot. Errors are
# logged (WINEDEBUG=-all silences the messages that tell why it failed).
qv_wineboot_once() {
  _t0=$(date +%s)
  env -u DISPLAY WINEDEBUG=err+all,fixme-all timeout 600 wineboot -i \
    >"$QV_RUN/wineboot.out" 2>"$QV_RUN/wineboot.err" </dev/null 8>&-
  _rc=$?
  [ $_rc -eq 0 ] && return 0
  qv_log "wineboot -i failed after $(($(date +%s) - _t0)) s: $(qv_status_text $_rc)"
  qv_log "  stdout ($QV_RUN/wineboot.out):"; tail -n 15 "$QV_RUN/wineboot.out" | sed 's/^/    /' >&2
  # Without a display every window fails; those lines tell nothing here.
  qv_log "  stderr ($QV_RUN/wineboot.err, without the no-display and wine32 notices):"
  grep -v -e nodrv_CreateWindow -e 'wine32' -e 'multiarch needs' -e 'dpkg --add-architecture' -e 'apt-get install' \
    "$QV_RUN/wineboot.err" | tail -n 25 | sed 's/^/    /' >&2
  qv_log "  Wine processes now:"; qv_wine_processes >&2
  return 1
}

# Ends the prefix's wineserver (if any) and waits for it, bounded.
qv_wineserver_end() {
  [ -d "$WINEPREFIX" ] || return 0
  timeout 30 wineserver -k >/dev/null 2>&1 </dev/null 8>&-
  qv_wineserver_gone 30 || { qv_log "the wineserver of $WINEPREFIX is still running after wineserver -k and 30 s"; return 1; }
}

# Creates the prefix and maps COMn ($QV_PORT_NUMBERS, default COM1..COM4) to
# $QV_PORTS/COMn; the mark file is
# written last, so a prefix without it (creation interrupted or failed: it
# may have a system.reg and still miss its DLLs) is made again from scratch.
# The mapping is written before anything else runs in the prefix and the
# wineserver is then stopped, so that the next start installs the links.
#
# A first `wineboot -i` ends with status 1 and nothing on stderr when the
# prefix's wineserver is ended under it (measured: `wineserver -k` 4 s into
# the boot); two creators of one prefix do that to each other, as does the
# clean-up of an earlier session of the same prefix. Hence: one creator at a
# time (a lock), a previous wineserver of the prefix waited for, and one
# retry after a clean `wineserver -k`.
qv_wine_prefix_ensure() {
  _mark="$WINEPREFIX/.qorvex-ports"
  _want="$QV_PORTS unmanaged"
  [ "$QV_PORT_NUMBERS" = "1 2 3 4" ] || _want="$QV_PORTS $QV_PORT_NUMBERS unmanaged"
  if [ -f "$WINEPREFIX/system.reg" ] && [ "$(cat "$_mark" 2>/dev/null)" = "$_want" ]; then
    return 0
  fi
  mkdir -p "$QV_PORTS" "$(dirname "$WINEPREFIX")"
  # The lock's descriptor (8) is closed for every program started while it is
  # held, so that a daemonised wineserver cannot keep it.
  exec 8>"$WINEPREFIX.lock"
  if ! flock -w 900 8; then
    qv_log "another creator of $WINEPREFIX held its lock for 900 s"; exec 8>&-; return 1
  fi
  qv_prefix_make; _rc=$?
  exec 8>&-
  return $_rc
}

qv_prefix_make() {
  # Made by the creator that held the lock before us.
  if [ -f "$WINEPREFIX/system.reg" ] && [ "$(cat "$_mark" 2>/dev/null)" = "$_want" ]; then
    return 0
  fi
  if [ ! -f "$_mark" ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
    if ! qv_wineserver_gone 60; then
      qv_log "a wineserver of $WINEPREFIX still runs after 60 s; ending it"
      qv_wineserver_end || return 1
    fi
    [ -e "$WINEPREFIX" ] && qv_log "removing the incomplete Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    qv_log "creating Wine prefix $WINEPREFIX"
    if ! qv_wineboot_once; then
      qv_log "retrying once after wineserver -k"
      qv_wineserver_end || return 1
      rm -rf "$WINEPREFIX"; mkdir -p "$WINEPREFIX"
      qv_wineboot_once || { qv_log "wineboot failed twice; giving up"; return 1; }
    fi
  fi
  for _n in $QV_PORT_NUMBERS; do
    timeout 120 wine reg add 'HKLM\Software\Wine\Ports' /v "COM$_n" /t REG_SZ /d "$QV_PORTS/COM$_n" /f \
      >"$QV_RUN/reg.out" 2>"$QV_RUN/reg.err" </dev/null 8>&- || {
      _rc=$?; qv_log "reg add COM$_n failed: $(qv_status_text $_rc)"; cat "$QV_RUN/reg.err" >&2; return 1; }
  done
  # Windows not managed by a window manager: there is none on the private
  # display, and for a managed window Wine waits 2 s at every hide or close
  # for a window manager's answer that never comes.
  timeout 120 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
    >"$QV_RUN/reg.out" 2>"$QV_RUN/reg.err" </dev/null 8>&- || {
    _rc=$?; qv_log "reg add Managed failed: $(qv_status_text $_rc)"; cat "$QV_RUN/reg.err" >&2; return 1; }
  qv_wineserver_end || return 1
  # The wineserver writes the registry files as it ends.
  [ -f "$WINEPREFIX/system.reg" ] || { qv_log "no system.reg in $WINEPREFIX after its wineserver ended"; return 1; }
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
      qv_log "Xvfb did not name its display within $((_i / 10)) s (pid $QV_XVFB_PID $(kill -0 "$QV_XVFB_PID" 2>/dev/null && echo running || echo ended))"
      cat "$QV_RUN/xvfb.log" >&2; kill "$QV_XVFB_PID" 2>/dev/null; wait "$QV_XVFB_PID" 2>/dev/null; QV_XVFB_PID=; return 1
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
  timeout 60 wineserver -p >"$QV_RUN/wineserver.out" 2>"$QV_RUN/wineserver.err" </dev/null
  _rc=$?
  QV_WINESERVER_STARTED=1
  [ $_rc -eq 0 ] && return 0
  qv_log "wineserver -p for $WINEPREFIX: $(qv_status_text $_rc)"; cat "$QV_RUN/wineserver.err" >&2
  return 1
}

qv_wineserver_stop() {
  [ -n "$QV_WINESERVER_STARTED" ] || return 0
  qv_wineserver_end
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
      qv_log "socat did not make the links $_near and $_peer within $((_i / 20)) s (pid $QV_SOCAT_PID $(kill -0 "$QV_SOCAT_PID" 2>/dev/null && echo running || echo ended))"
      cat "$QV_RUN/socat.log" >&2; qv_nullmodem_stop; return 1
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

# qv_app_wait_window [TIMEOUT_MS]: waits for the main window of the program
# qv_app_start started; when it does not come, says whether the program still
# runs or how it ended, its stderr, the Wine processes of the moment, and
# keeps a screenshot (a crash or error box shows there).
qv_app_wait_window() {
  qv_probe wait-window qorvex "${1:-30000}" >/dev/null && return 0
  if [ -n "$QV_APP_PID" ] && kill -0 "$QV_APP_PID" 2>/dev/null; then
    qv_log "no qorvex window within $((${1:-30000} / 1000)) s; the program still runs (pid $QV_APP_PID)"
  elif [ -n "$QV_APP_PID" ]; then
    wait "$QV_APP_PID"
    qv_log "no qorvex window: the program ended with status $?"
    QV_APP_PID=
  fi
  qv_log "its stderr: $(head -c 2000 "$QV_RUN/app.err" 2>/dev/null)"
  qv_wine_processes >&2
  _shot="${QV_ARTIFACTS:-$QV_RUN}/no_window_$(date +%H%M%S).png"
  [ -n "${DISPLAY:-}" ] && qv_screenshot "$_shot" 2>/dev/null && qv_log "screen: $_shot"
  return 1
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
# Its own waits are bounded (at most the time-out given); the limit here
# catches a Wine that never starts it.
qv_probe() {
  qv_wine_within 180 "$QV_RUN/probe" "$QV_BUILD/bin/qvprobe.exe" "$@"
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
