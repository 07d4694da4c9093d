# Feeding qorvex.exe from the far end of the null modem and reading its five
# displays back from outside (POSIX sh, sourced after tests/e2e/lib.sh).
# Needs QV_NATIVE_BIN: the native build's bin folder (tallysim, e2e_expect).

QV_SIM_PID=
QV_PEER="$QV_RUN/peer"

QV_CAP_ME="Display ME Contribution Information"
QV_CAP_EXT="Display External Contribution Information"
QV_CAP_SS="Display Still Store Contribution Information"
QV_CAP_OUT="Display Output Contribution Information"
QV_CAP_NAMES="Display the Source Names"

# Selector button ids of ME 1-4 and EXT 1-8, in record order.
QV_ME_SELECTORS="1019 1016 1017 1018"
QV_EXT_SELECTORS="1020 1024 1026 1025 1027 1021 1023 1022"

qv_feed_tools_check() {
  for _t in tallysim e2e_expect; do
    [ -x "$QV_NATIVE_BIN/$_t" ] || { qv_log "missing $QV_NATIVE_BIN/$_t (build the native preset first)"; exit 1; }
  done
}

# qv_fault_stream OUT TRUTH: the recorded faulty stream of the recorded-stream
# and history-log tests. Seed and rates give every message type and fault kind
# within 1500 messages, the reset comes early so the later faults stay
# counted, and it is led by messages that must change nothing. TRUTH gets the
# simulator's account of it; status 1 if tallysim failed.
qv_fault_stream() {
  "$QV_NATIVE_BIN/tallysim" --fast --count 1500 --seed 77 --faults 0.02 --reset-at 700 --force \
    -o "$QV_RUN/fault_sim.bin" --summary "$2" >"$QV_RUN/gen.out" 2>"$QV_RUN/gen.err" ||
    { cat "$QV_RUN/gen.err" >&2; return 1; }
  {
    printf '\205\205'; head -c 23 /dev/zero                         # 0x85: framed by length, ignored
    printf '\320\320\322\322'                                          # 0xD0, 0xD2: no effect
    printf '\301\301\000NOBODY\000\000\000\000\000\000GHOST\000'       # name for source 0: ignored
    printf '\260\260'; head -c 10 /dev/zero                         # 0xB0: framed by length, ignored
    cat "$QV_RUN/fault_sim.bin"
  } >"$1"
}

# qv_sim_start SUMMARY ARGS...: tallysim writing to the peer end in the
# background; its JSON summary goes to SUMMARY (replacing one left by an
# earlier run).
qv_sim_start() {
  _summary=$1; shift
  "$QV_NATIVE_BIN/tallysim" -o "$QV_PEER" --summary "$_summary" --force "$@" \
    >"$QV_RUN/sim.out" 2>"$QV_RUN/sim.err" </dev/null &
  QV_SIM_PID=$!
}

# qv_sim_pipe DEST COPY ARGS...: tallysim's standard output into DEST, a pty
# (tallysim refuses a terminal as standard output, and sets the speed only of
# a tty it opens itself, while 256000 is no POSIX speed; a pty carries any
# rate); COPY, unless empty, gets every byte too (appended). Through a fifo,
# so that QV_SIM_PID is the simulator's: the last process of a background
# pipeline would be, and it ignores the SIGINT of qv_sim_stop.
QV_PIPE_PID=
qv_sim_pipe() {
  _dest=$1 _copy=$2; shift 2
  _fifo="$QV_RUN/sim.fifo"
  rm -f "$_fifo"; mkfifo "$_fifo" || return 1
  if [ -n "$_copy" ]; then tee -a "$_copy" <"$_fifo" >"$_dest" & else cat <"$_fifo" >"$_dest" & fi
  QV_PIPE_PID=$!
  "$QV_NATIVE_BIN/tallysim" -o - "$@" 2>"$QV_RUN/sim.err" </dev/null >"$_fifo" &
  QV_SIM_PID=$!
}

# qv_sim_wait [TIMEOUT_S]: waits for the simulator to end; its status.
qv_sim_wait() {
  _t=${1:-120}
  _i=0
  while kill -0 "$QV_SIM_PID" 2>/dev/null; do
    _i=$((_i + 1))
    if [ $_i -gt $((_t * 10)) ]; then qv_log "tallysim still running after ${_t}s"; return 124; fi
    sleep 0.1
  done
  wait "$QV_SIM_PID"
  _rc=$?
  QV_SIM_PID=
  if [ -n "$QV_PIPE_PID" ]; then
    wait "$QV_PIPE_PID" || { qv_log "copying tallysim's output into its destination failed"; [ $_rc -ne 0 ] || _rc=1; }
    QV_PIPE_PID=
  fi
  return $_rc
}

# SIGINT makes the simulator write its summary before it ends.
qv_sim_stop() {
  [ -n "$QV_SIM_PID" ] || return 0
  kill -INT "$QV_SIM_PID" 2>/dev/null
  wait "$QV_SIM_PID" 2>/dev/null
  QV_SIM_PID=
  [ -n "$QV_PIPE_PID" ] && { kill "$QV_PIPE_PID" 2>/dev/null; wait "$QV_PIPE_PID" 2>/dev/null; }
  QV_PIPE_PID=
}

# Everything of the feed, then what env.sh started.
qv_feed_cleanup() {
  qv_sim_stop
  qv_cleanup
}

qv_feed_trap() {
  trap 'qv_feed_cleanup' EXIT
  trap 'qv_feed_cleanup; exit 130' INT
  trap 'qv_feed_cleanup; exit 143' TERM
}

# The app on COM1 linked to the Linux peer path, after "Connect". Returns
# non-zero when the window does not appear or "Connection failed." shows.
# (The menu swap on Connect is checked by the smoke test; here the data
# reaching the displays is the proof of the connection.)
qv_feed_app_connected() {
  qv_nullmodem_start "$QV_PEER" || return 1
  qv_app_start "$QV_BUILD/bin/qorvex.exe" "$@"
  qv_app_wait_window 30000 || return 1
  qv_probe command 105 >/dev/null || return 1
  if qv_probe wait-dialog "Qorvex V-1.0" 1500 >/dev/null 2>&1; then
    qv_log "\"Connection failed.\" box shown"; return 1
  fi
  return 0
}

# qv_display_read CAPTION: the dialog's lists and edit fields as rows/row/val
# lines (the format of e2e_expect).
qv_display_read() {
  qv_probe dialog-text "$1" | sed -n \
    -e 's/^\(rows	-*[0-9]*	count=[0-9]*\).*/\1/p' \
    -e '/^row	/p' \
    -e 's/^ctl	\(-*[0-9]*\)	Edit	.*	text=\(".*"\)$/val	\1	\2/p'
}

# qv_display_match NAME CAPTION EXPECTED_FILE [TIMEOUT_S]: polls the open
# display until every expected line is shown (the draw comes with the next
# 500 ms tick); on time-out reports the differing lines as one failure.
qv_display_match() {
  _name=$1 _cap=$2 _exp=$3 _t=${4:-5}
  _act="$QV_RUN/actual.$$"
  # An empty expectation (its summary unreadable) would match anything.
  [ -s "$_exp" ] || { qv_fail "$_name: nothing expected ($_exp is empty)"; return 1; }
  _i=0
  while :; do
    qv_display_read "$_cap" >"$_act"
    _missing=$(grep -Fvx -f "$_act" "$_exp" | head -n 8)
    if [ -z "$_missing" ]; then
      qv_pass "$_name: $(wc -l <"$_exp") rows and counters as expected"
      rm -f "$_act"; return 0
    fi
    _i=$((_i + 1))
    [ $_i -ge $((_t * 4)) ] && break
    sleep 0.25
  done
  qv_fail "$_name: display differs from the expected state; first expected lines not shown:"
  printf '%s\n' "$_missing" | sed 's/^/    want /' >&2
  for _id in $(printf '%s\n' "$_missing" | cut -f2 | sort -u); do
    grep "^[a-z]*	$_id	" "$_act" | head -n 4 | sed 's/^/    have /' >&2
  done
  cp "$_act" "$QV_ARTIFACTS/$(echo "$_name" | tr ' /' '__').actual"
  rm -f "$_act"
  return 1
}

# qv_display_open MENU_ID CAPTION: opens a display from the main window's menu.
qv_display_open() {
  qv_probe command "$1" >/dev/null && qv_probe wait-dialog "$2" 10000 >/dev/null
}

# qv_display_close CAPTION: "OK", and the dialog is gone.
qv_display_close() {
  qv_probe click "$1" 1 >/dev/null && qv_probe wait-gone "$1" 10000 >/dev/null
}

# qv_verify_all_displays STATE.json TAG: opens each display in turn and
# compares every list row and counter with what STATE must produce: ME 1-4
# and EXT 1-8 through their selectors, SS, OUT and the 128 names. A
# screenshot of each goes to the artifacts as TAG_<display>.png (none with
# QV_NO_SHOTS set).
qv_verify_all_displays() {
  _state=$1 _tag=$2
  _exp="$QV_RUN/expected.$$"
  if qv_display_open 32776 "$QV_CAP_ME"; then
    _r=1
    for _sel in $QV_ME_SELECTORS; do
      qv_probe click "$QV_CAP_ME" "$_sel" >/dev/null || qv_fail "click ME selector $_sel"
      "$QV_NATIVE_BIN/e2e_expect" "$_state" me $_r >"$_exp" || qv_fail "e2e_expect me $_r"
      qv_display_match "$_tag ME $_r" "$QV_CAP_ME" "$_exp"
      [ $_r = 2 ] && [ -z "${QV_NO_SHOTS:-}" ] && qv_screenshot "$QV_ARTIFACTS/${_tag}_me.png"
      _r=$((_r + 1))
    done
    qv_display_close "$QV_CAP_ME" || qv_fail "$_tag: ME display does not close"
  else qv_fail "$_tag: ME display does not open"; fi

  if qv_display_open 32777 "$QV_CAP_EXT"; then
    _r=1
    for _sel in $QV_EXT_SELECTORS; do
      qv_probe click "$QV_CAP_EXT" "$_sel" >/dev/null || qv_fail "click EXT selector $_sel"
      "$QV_NATIVE_BIN/e2e_expect" "$_state" ext $_r >"$_exp" || qv_fail "e2e_expect ext $_r"
      qv_display_match "$_tag EXT $_r" "$QV_CAP_EXT" "$_exp"
      [ $_r = 3 ] && [ -z "${QV_NO_SHOTS:-}" ] && qv_screenshot "$QV_ARTIFACTS/${_tag}_ext.png"
      _r=$((_r + 1))
    done
    qv_display_close "$QV_CAP_EXT" || qv_fail "$_tag: EXT display does not close"
  else qv_fail "$_tag: EXT display does not open"; fi

  for _d in "32778 ss $QV_CAP_SS" "32779 out $QV_CAP_OUT" "32780 names $QV_CAP_NAMES"; do
    _id=${_d%% *}; _rest=${_d#* }; _kind=${_rest%% *}; _cap=${_rest#* }
    if qv_display_open "$_id" "$_cap"; then
      "$QV_NATIVE_BIN/e2e_expect" "$_state" "$_kind" >"$_exp" || qv_fail "e2e_expect $_kind"
      qv_display_match "$_tag $_kind" "$_cap" "$_exp"
      [ -z "${QV_NO_SHOTS:-}" ] && qv_screenshot "$QV_ARTIFACTS/${_tag}_$_kind.png"
      qv_display_close "$_cap" || qv_fail "$_tag: $_kind display does not close"
    else qv_fail "$_tag: $_kind display does not open"; fi
  done
  rm -f "$_exp"
}

# The Linux pid of qorvex.exe started by qv_app_start (wine's child).
qv_app_linux_pid() {
  for p in "$QV_APP_PID" $(cat /proc/"$QV_APP_PID"/task/*/children 2>/dev/null); do
    if tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null | grep -qi 'qorvex.exe'; then echo "$p"; return; fi
  done
}

# The wineserver of this prefix: its working folder is named after the prefix's device and inode.
qv_wineserver_pid() {
  _dir=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  for p in /proc/[0-9]*; do
    case "$(readlink "$p/cwd" 2>/dev/null)" in */$_dir) echo "${p#/proc/}"; return ;; esac
  done
}

# User plus system clock ticks a process has used.
qv_cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
