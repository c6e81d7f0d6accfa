# Helpers for the Wine tests (tests/wine/NN-*.sh). Source it: . "$(dirname "$0")/lib.sh"
#
# Locations (environment; defaults derived from this file's place in the repository):
#   OMBRIX_ROOT            repository root
#   OMBRIX_BUILD_X86/_X64  build trees (default $OMBRIX_ROOT/build/x86, build/x64)
#   OMBRIX_DIST_X86/_X64   installed deliverables (default $OMBRIX_ROOT/dist/x86, dist/x64)
#   OMBRIX_WINE_KEEP=1     keep the temp dir (prefix, logs) after the test for inspection
#
# Prefix and processes:
#   wine_prefix_new x86|x64   fresh prefix in a new temp dir ($WINE_TMP), booted, session ended;
#                             exports WINEPREFIX, WINEARCH, WINEDEBUG=-all; sets WINE_ARCH, and an
#                             EXIT trap that kills the prefix's wineserver and removes $WINE_TMP.
#                             Calling it again ends the previous prefix first.
#   wine_default_arch         x86 where this machine runs 32-bit programs, else x64: for tests
#                             of behaviour that does not depend on the architecture
#   wine_run [-t SECS] CMD... run a Windows program (default timeout 60 s); stdout/stderr pass through
#   wine_tool [-t SECS] CMD...  run a Wine system tool (sc, net, reg); output in $WINE_OUT. Retried
#                             once when Wine's launcher itself fails to start the tool (seen rarely
#                             on a loaded machine: "ShellExecuteEx failed"), never on the tool's result
#   wine_bg NAME CMD...       start a Windows program in the background, output to $WINE_TMP/NAME.out
#   wine_session_end [SECS]   wait until every process of the prefix has ended (wineserver -w)
#   winpath UNIXPATH          the Windows path of a Unix path (drive Z: is the Unix root)
#   prefix_c_dir              Unix path of the prefix's C:\ (drive_c)
#   helper_exe NAME           a test helper program built into <build>/tests/wine/ for $WINE_ARCH
#   dist_exe NAME             a deliverable from dist/<arch> for $WINE_ARCH
#                             (both fail when the file is missing, also from inside $(...))
#
# Debugger output (the listener tests/wine/win/dbwin_listener.cpp):
#   dbwin_start               start the listener for the prefix, log $DBWIN_LOG; waits until ready.
#                             It also keeps services alive: start it before starting a service.
#   dbwin_wait TEXT [SECS]    wait (default 30 s) for a message equal to TEXT (real \n, tabs allowed)
#   dbwin_wait_re ERE [SECS]  wait for a message (escaped form, see below) matching the regex
#   dbwin_has TEXT            true when a message equal to TEXT was seen already
#   dbwin_count TEXT          number of messages equal to TEXT
#   dbwin_texts               all messages so far, one per line, in escaped form (\n \t \\ \r)
#
# Services (service control manager of the prefix):
#   svc_install NAME WINEXE   sc create NAME as own-process, demand-start service, then end the
#                             session (a service created in a session can only be started in the next).
#                             Call dbwin_start next, before any other Wine command, so that the new
#                             session has its ordinary process from the start.
#   svc_create NAME WINEXE    sc create only (several services, then svc_install the last one)
#   svc_start NAME            net start NAME
#   svc_stop NAME [SECS]      net stop NAME; fails when it has not returned within SECS (default 60)
#   svc_state NAME            prints the state word of sc query (RUNNING, STOPPED, ...) or NONE
#   svc_wait_state NAME STATE [SECS]
#
# Reporting:
#   fail MSG...               print "FAIL: MSG" and the debugger messages; ends the test with a
#                             non-zero status, also when called inside $(...)
#   skip MSG...               print "SKIP: MSG" and end the test with status 77, which run.sh
#                             counts as skipped (only when this machine cannot run the test;
#                             call it from the script itself, not inside $(...))
#   note MSG...               progress line on stderr
#   now_ms                    wall clock in milliseconds (for printed figures, never for verdicts)
#
# lib.sh turns on "set -u" for the script that sources it.

set -u

OMBRIX_ROOT=${OMBRIX_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
OMBRIX_BUILD_X86=${OMBRIX_BUILD_X86:-$OMBRIX_ROOT/build/x86}
OMBRIX_BUILD_X64=${OMBRIX_BUILD_X64:-$OMBRIX_ROOT/build/x64}
OMBRIX_DIST_X86=${OMBRIX_DIST_X86:-$OMBRIX_ROOT/dist/x86}
OMBRIX_DIST_X64=${OMBRIX_DIST_X64:-$OMBRIX_ROOT/dist/x64}

WINE_TMP=
WINE_ARCH=
WINE_LOADER=wine
DBWIN_LOG=
WINE_BG_PIDS=()

note() { echo "[$(basename "$0")] $*" >&2; }

now_ms() { date +%s%3N; }

fail() {
    echo "FAIL: $*" >&2
    if [ -n "$DBWIN_LOG" ] && [ -f "$DBWIN_LOG" ]; then
        echo "--- debugger messages:" >&2
        dbwin_texts | sed 's/^/    /' >&2
    fi
    # Inside a command substitution: end the test script itself too (its trap cleans up).
    [ "$BASH_SUBSHELL" -gt 0 ] && kill -TERM $$
    exit 1
}

skip() {
    echo "SKIP: $*" >&2
    exit 77
}

# Whether this machine's kernel executes 32-bit x86 programs (some virtual machines run 64-bit
# code only); Wine's 32-bit loader is one.
can_run_32bit() {
    local out
    out=$(/usr/lib/wine/wine --version 2>&1) && return 0
    [[ $out != *"Exec format error"* && $out != *"cannot execute binary file"* ]]
}

wine_default_arch() {
    if can_run_32bit; then echo x86; else echo x64; fi
}

_wine_cleanup() {
    local pid
    if [ -n "$WINE_TMP" ] && [ -d "$WINE_TMP" ] && [ -n "${WINEPREFIX:-}" ]; then
        timeout 20 wineserver -k >/dev/null 2>&1
        for pid in "${WINE_BG_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
        timeout 20 wineserver -w >/dev/null 2>&1
        if [ "${OMBRIX_WINE_KEEP:-0}" = 1 ]; then
            note "kept $WINE_TMP"
        else
            rm -rf "$WINE_TMP"
        fi
    fi
    WINE_BG_PIDS=()
}

wine_prefix_new() {
    local arch=$1
    command -v wine >/dev/null || fail "wine is not installed"
    _wine_cleanup   # a second prefix in one script: end the first one
    DBWIN_LOG=
    case "$arch" in
        x86)
            can_run_32bit ||
                skip "this machine's kernel does not execute 32-bit programs, so Wine's 32-bit loader cannot start"
            export WINEARCH=win32; WINE_LOADER=wine ;;
        x64)
            export WINEARCH=win64
            # Debian's wine wrapper starts the 32-bit loader, which runs the 32-bit system tools
            # (sc, net, reg) of a 64-bit prefix; the 64-bit loader runs the native ones.
            WINE_LOADER=$(command -v wine64 || echo /usr/lib/wine/wine64)
            [ -x "$WINE_LOADER" ] || WINE_LOADER=wine ;;
        *) fail "wine_prefix_new: unknown arch '$arch'" ;;
    esac
    WINE_ARCH=$arch
    WINE_TMP=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-wine.XXXXXX")
    trap _wine_cleanup EXIT
    trap 'exit 143' TERM INT
    export WINEPREFIX=$WINE_TMP/prefix
    export WINEDEBUG=-all
    # No Mono/Gecko installers, no desktop menu entries.
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    mkdir -p "$WINEPREFIX"
    timeout 120 "$WINE_LOADER" wineboot.exe -i >"$WINE_TMP/wineboot.out" 2>&1 || {
        cat "$WINE_TMP/wineboot.out" >&2
        fail "wineboot -i failed in $WINEPREFIX"
    }
    wine_session_end
}

wine_session_end() {
    timeout "${1:-60}" wineserver -w || fail "the Wine session did not end within ${1:-60} s"
}

wine_run() {
    local secs=60
    if [ "$1" = "-t" ]; then secs=$2; shift 2; fi
    timeout "$secs" "$WINE_LOADER" "$@" </dev/null
}

WINE_OUT=
wine_tool() {
    local rc attempt
    for attempt in 1 2; do
        WINE_OUT=$(wine_run "$@" 2>&1)
        rc=$?
        [[ $WINE_OUT == *"ShellExecuteEx failed"* ]] || break
        note "Wine could not launch '$*' ($WINE_OUT); retrying"
        sleep 1
    done
    return $rc
}

wine_bg() {
    local name=$1; shift
    "$WINE_LOADER" "$@" </dev/null >"$WINE_TMP/$name.out" 2>&1 &
    WINE_BG_PIDS+=($!)
}

winpath() {
    local p
    p=$(realpath -m "$1")
    echo "Z:${p//\//\\}"
}

prefix_c_dir() { echo "$WINEPREFIX/drive_c"; }

helper_exe() {
    local build
    if [ "$WINE_ARCH" = x86 ]; then build=$OMBRIX_BUILD_X86; else build=$OMBRIX_BUILD_X64; fi
    local exe=$build/tests/wine/$1.exe
    [ -f "$exe" ] || fail "helper $exe is missing (build the $WINE_ARCH preset)"
    echo "$exe"
}

dist_exe() {
    local dist
    if [ "$WINE_ARCH" = x86 ]; then dist=$OMBRIX_DIST_X86; else dist=$OMBRIX_DIST_X64; fi
    local exe=$dist/$1
    [ -f "$exe" ] || fail "$exe is missing (run tools/build.sh)"
    echo "$exe"
}

# ------------------------------------------------------------------------------------------------
# Debugger output

dbwin_start() {
    local exe
    exe=$(helper_exe dbwin_listener) || exit 1
    DBWIN_LOG=$WINE_TMP/dbwin.log
    : >"$DBWIN_LOG"
    wine_bg dbwin_listener "$exe" "$(winpath "$DBWIN_LOG")" 900
    local deadline=$((SECONDS + 30))
    until grep -q '^# ready ' "$DBWIN_LOG" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || {
            cat "$WINE_TMP/dbwin_listener.out" >&2
            fail "the debugger-output listener did not start"
        }
        sleep 0.2
    done
}

# The messages in their escaped one-line form.
dbwin_texts() {
    [ -f "$DBWIN_LOG" ] || return 0
    awk -F'\t' '/^[0-9]/ { sub(/^[^\t]*\t[^\t]*\t/, ""); print }' "$DBWIN_LOG"
}

# TEXT with real line feeds etc. turned into the listener's escaped form.
_dbwin_escape() {
    local s=$1
    s=${s//\\/\\\\}
    s=${s//$'\n'/\\n}
    s=${s//$'\r'/\\r}
    s=${s//$'\t'/\\t}
    printf '%s' "$s"
}

dbwin_count() {
    local want
    want=$(_dbwin_escape "$1")
    dbwin_texts | WANT=$want awk 'BEGIN { n = 0 } $0 == ENVIRON["WANT"] { n++ } END { print n }'
}

dbwin_has() { [ "$(dbwin_count "$1")" -gt 0 ]; }

dbwin_wait() {
    local text=$1 secs=${2:-30}
    local deadline=$((SECONDS + secs))
    until dbwin_has "$text"; do
        [ $SECONDS -lt $deadline ] || fail "no debugger message \"$(_dbwin_escape "$text")\" within $secs s"
        sleep 0.2
    done
}

dbwin_wait_re() {
    local re=$1 secs=${2:-30}
    local deadline=$((SECONDS + secs))
    until dbwin_texts | grep -Eq -- "$re"; do
        [ $SECONDS -lt $deadline ] || fail "no debugger message matching /$re/ within $secs s"
        sleep 0.2
    done
}

# ------------------------------------------------------------------------------------------------
# Services

svc_create() {
    local name=$1 exe=$2
    wine_tool sc create "$name" binPath= "$exe" type= own start= demand ||
        fail "sc create $name failed: $WINE_OUT"
}

svc_install() {
    svc_create "$@"
    wine_session_end
}

svc_start() {
    wine_tool net start "$1" || fail "net start $1 failed: $WINE_OUT"
}

svc_stop() {
    wine_tool -t "${2:-60}" net stop "$1" || fail "net stop $1 failed or took over ${2:-60} s: $WINE_OUT"
}

svc_state() {
    wine_tool sc query "$1" || { echo NONE; return 0; }
    echo "$WINE_OUT" | tr -d '\r' | awk '$1 == "STATE" { print $4; found = 1 } END { if (!found) print "NONE" }'
}

svc_wait_state() {
    local name=$1 want=$2 secs=${3:-30} got
    local deadline=$((SECONDS + secs))
    while :; do
        got=$(svc_state "$name")
        [ "$got" = "$want" ] && return 0
        [ $SECONDS -lt $deadline ] || fail "service $name is $got, not $want, after $secs s"
        sleep 0.5
    done
}
