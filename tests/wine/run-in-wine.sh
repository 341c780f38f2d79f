#!/usr/bin/env bash
# Runs one Wine test inside the X session that xvfb-run made for it:
#
#   run-in-wine.sh prefix
#   run-in-wine.sh dll <qz719pt_test.exe> <QZ719PT.dll> <group>
#   run-in-wine.sh launcher <Zelnor.exe> <test setup.exe> <scenario> <work folder> <shots folder>
#
# WINEPREFIX names the tests' prefix. The "prefix" step makes it once; every
# test then starts Wine in its own X session and waits for it to shut down
# before returning, so no test inherits a server tied to a display that is gone.
set -euo pipefail

wine=/usr/lib/wine/wine64 # /usr/bin/wine tries the 32-bit loader first, which cannot run here
wineserver=/usr/lib/wine/wineserver
: "${WINEPREFIX:?WINEPREFIX must name the tests\' Wine prefix}"
export WINEPREFIX WINEARCH=win64 WINEDEBUG=-all
# No downloads or install dialogs for the .NET and HTML engines.
export WINEDLLOVERRIDES="mscoree,mshtml="

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# The Windows name of a Unix path, through Wine's Z: drive.
winpath() {
  local path
  path=$(realpath -m "$1")
  printf 'Z:%s' "${path//\//\\}"
}

start_session() {
  [[ -f $WINEPREFIX/.vax-ready ]] || fail "no Wine prefix at $WINEPREFIX (run the wine.prefix test)"
  # A server left by an earlier, interrupted test belongs to another display.
  timeout 30 "$wineserver" -w || "$wineserver" -k || true
}

end_session() {
  timeout 60 "$wineserver" -w || {
    "$wineserver" -k || true
    fail "Wine did not shut down within 60 s"
  }
}

make_prefix() {
  [[ -f $WINEPREFIX/.vax-ready ]] && return 0
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  local log=$WINEPREFIX.log
  # The first boot of a prefix takes a while on a fresh machine.
  # Without a window manager in the X session, Wine draws the captions itself.
  if ! timeout 300 "$wine" wineboot --init >"$log" 2>&1 ||
    ! timeout 60 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >>"$log" 2>&1 ||
    ! timeout 60 "$wineserver" -w; then
    cat "$log" >&2
    fail "wineboot could not make $WINEPREFIX"
  fi
  touch "$WINEPREFIX/.vax-ready"
}

run_dll_test() {
  local test_exe=$1 dll=$2 group=$3 status=0
  start_session
  # COM9: a standard serial port for the library to tell apart from Vaxport's,
  # served by Wine's serial driver over a pseudo-terminal.
  ln -sfn /dev/ptmx "$WINEPREFIX/dosdevices/com9"
  timeout 120 "$wine" "$test_exe" "$(winpath "$dll")" "$group" || status=$?
  end_session
  return $status
}

# The value of key in a setup record, or nothing.
field() { sed -n "s/^$2=//p" "$1" | head -n 1; }

expect_field() {
  local record=$1 key=$2 expected=$3 actual
  actual=$(field "$record" "$key")
  [[ $actual == "$expected" ]] || fail "$key: expected '$expected', got '$actual'"
}

run_launcher_test() {
  local zelnor=$1 setup=$2 scenario=$3 work=$4 shots=$5
  # Blanks in the launcher's path on purpose; the caller's current folder holds
  # a setup.exe of its own that must never run.
  local install="$work/Program Files/QZ719 Driver" caller="$work/caller"
  rm -rf "$work"
  mkdir -p "$install" "$caller"
  cp "$zelnor" "$install/Zelnor.exe"
  cp "$setup" "$caller/setup.exe"
  case $scenario in
    setup-missing) ;;
    setup-not-startable) echo "not a program" >"$install/setup.exe" ;;
    *) cp "$setup" "$install/setup.exe" ;;
  esac
  local record="$install/setup-record.txt"
  case $scenario in
    close-while-setup-runs) export ZELNOR_TEST_SETUP_MODE=close ;;
    *) export ZELNOR_TEST_SETUP_MODE=show ;;
  esac

  start_session
  local launcher_pid status=0 started=$SECONDS
  (cd "$caller" && exec timeout 90 "$wine" "$install/Zelnor.exe") &
  launcher_pid=$!
  # Answer the setup stand-in's screenshot requests while the launcher runs.
  while kill -0 "$launcher_pid" 2>/dev/null; do
    for shot in dialog about; do
      if [[ ! -e $install/$shot.done ]] && grep -qx "await=$shot" "$record" 2>/dev/null; then
        import -window root -trim +repage "$shots/zelnor-$shot.png" || echo "screenshot $shot failed" >&2
        touch "$install/$shot.done"
      fi
    done
    sleep 0.2
  done
  wait "$launcher_pid" || status=$?
  local launcher_seconds=$((SECONDS - started))
  local record_at_exit=""
  [[ -f $record ]] && record_at_exit=$(cat "$record")
  end_session

  echo "launcher exit status $status after ${launcher_seconds} s; setup record:"
  [[ -f $record ]] && sed 's/^/  /' "$record"
  [[ ! -e $caller/setup-record.txt ]] || fail "the setup.exe in the caller's current folder ran"

  if [[ $scenario == setup-missing || $scenario == setup-not-startable ]]; then
    [[ $status == 1 ]] || fail "$scenario: the launcher must end with status 1, got $status"
    ((launcher_seconds < 20)) || fail "$scenario: the launcher must close at once"
    return 0
  fi

  [[ $status == 0 ]] || fail "launcher exit status $status"
  [[ -f $record ]] || fail "setup.exe never ran"
  [[ $(grep -c '^run=' "$record") == 1 ]] || fail "setup.exe must run exactly once"
  expect_field "$record" run "$(winpath "$install")\\setup.exe"
  expect_field "$record" command_line "[ /S]"
  expect_field "$record" current_folder "$(winpath "$install")"
  expect_field "$record" dialog visible
  expect_field "$record" responsive yes
  expect_field "$record" close_button Close

  if [[ $scenario == close-while-setup-runs ]]; then
    # Seen by setup itself: the launcher's process ended while setup ran on.
    expect_field "$record" launcher_ended_first yes
    expect_field "$record" exit 3
    return 0
  fi

  # The launcher closes by itself once setup has ended (with a non-zero code).
  grep -q '^exit=3$' <<<"$record_at_exit" || fail "the launcher ended before setup"
  expect_field "$record" about shown
  expect_field "$record" about_ok_button "确定"
  expect_field "$record" about_closed yes
  for shot in dialog about; do
    [[ -s $shots/zelnor-$shot.png ]] || fail "no screenshot $shots/zelnor-$shot.png"
  done
}

mode=${1:?mode: prefix, dll or launcher}
shift
case $mode in
  prefix) make_prefix ;;
  dll) run_dll_test "$@" ;;
  launcher) run_launcher_test "$@" ;;
  *) fail "unknown mode $mode" ;;
esac
