# Helpers for the Wine runs of Ombrix_Setup (tests/wine/5N-setup-*.sh); source it before lib.sh
# (it only defines functions and names, and setup_under_xvfb must run first).
#
#   setup_under_xvfb "$@"     at the top of a script, before lib.sh: re-runs the script inside
#                             its own 1024 x 768 virtual screen
#   setup_prefix x86|x64      fresh prefix (wine_prefix_new) prepared for the installer: no crash
#                             dialogs; in a 32-bit prefix the stand-ins of tests/wine/win/standin.cpp
#                             replace C:\windows\system32\ping.exe and shutdown.exe (with the
#                             "native" DllOverrides Wine needs to run them); the session is ended
#   setup_download [NAME]     copies dist/x86/Ombrix_Setup.exe into a downloads folder whose path
#                             has blanks, under NAME (default "Ombrix_Setup (2).exe"); sets
#                             SETUP_WIN (its Windows path) and SETUP_NAME
#   setup_start TAG LINE      starts LINE with CreateProcessW (uninstall_launcher --command) in the
#                             background; its output goes to $WINE_TMP/TAG.out
#   setup_start_uninstall TAG starts the registered UninstallString the same way
#   setup_exit_code TAG SECS  waits for the started program to end; prints its exit code
#   driver_out ARGS...        setup_driver.exe ARGS: output without CR, the driver's exit status
#   drv ARGS...               runs setup_driver.exe ARGS; output (without CR) in $DRV_OUT; fails
#                             the test when the driver reports a failure
#   drv_line PREFIX           the first line of $DRV_OUT starting with PREFIX, without it
#   shoot NAME [box [CAPTION]]  photographs the sheet (or the message box) with a margin into
#                             $SETUP_ARTIFACTS/NAME.png
#   regdump KEY               every value under KEY (HKLM\... or HKCU\...), one per line
#                             "<subkey or .> TAB <name> TAB <type> TAB <bytes> TAB <data>", in
#                             $REG_OUT; returns 1 when the key does not exist
#   reg_field SUBKEY NAME FIELD   field 3 (type), 4 (bytes) or 5 (data) of one value in $REG_OUT
#   expect WHAT GOT WANT      fails with WHAT when GOT differs from WANT
#   standin_lines NAME        the "start" lines the stand-in NAME (ping, shutdown) recorded
#   install_dir               Unix path of C:\Program Files\Ombrix
#   setup_install [LANG]      the whole install in the current session: start, Next, progress,
#                             Finish, No to the restart prompt, exit code 1
#   setup_session_start / setup_session_end   a session with the listener first / end it
#   rc_string LANG IDS_NAME   a string of the resource script in the driver's escaped form
#   machine_state             the installer's traces on the machine, for before/after comparisons:
#                             files under C:\ (Wine's own volatile files left out) and the registry
#                             keys the installer writes

SETUP_CAPTION_INSTALL="Ombrix - Installation Wizard"
SETUP_CAPTION_UNINSTALL="Ombrix - Uninstallation Wizard"
SETUP_WIN=
SETUP_NAME=
DRV_OUT=
REG_OUT=
SETUP_UNINSTALL_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Ombrix'
SETUP_ARTIFACTS=${OMBRIX_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}/build/artifacts/setup

setup_under_xvfb() {
    if [ -z "${OMBRIX_SETUP_XVFB:-}" ]; then
        command -v xvfb-run >/dev/null || { echo "FAIL: xvfb-run is not installed"; exit 1; }
        OMBRIX_SETUP_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
    fi
}

setup_prefix() {
    local arch=$1 sys
    wine_prefix_new "$arch"
    export LANG=C.UTF-8 LC_ALL=
    mkdir -p "$SETUP_ARTIFACTS"
    {
        echo 'REGEDIT4'
        echo
        echo '[HKEY_CURRENT_USER\Software\Wine\WineDbg]'
        echo '"ShowCrashDialog"=dword:00000000'
        # Wine draws the window frames itself (no window manager runs on the virtual screen).
        echo
        echo '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]'
        echo '"Decorated"="N"'
        if [ "$arch" = x86 ]; then
            echo
            echo '[HKEY_CURRENT_USER\Software\Wine\DllOverrides]'
            echo '"ping.exe"="native"'
            echo '"shutdown.exe"="native"'
        fi
    } >"$WINE_TMP/prepare.reg"
    wine_run regedit.exe /S "$(winpath "$WINE_TMP/prepare.reg")" || fail "regedit could not prepare the prefix"
    if [ "$arch" = x86 ]; then
        sys=$(prefix_c_dir)/windows/system32
        cp "$(helper_exe standin)" "$sys/ping.exe" || fail "cannot replace ping.exe"
        cp "$(helper_exe standin)" "$sys/shutdown.exe" || fail "cannot replace shutdown.exe"
    fi
    wine_session_end
}

setup_download() {
    SETUP_NAME=${1:-Ombrix_Setup (2).exe}
    local dir
    dir="$(prefix_c_dir)/users/Public/My Downloads"
    mkdir -p "$dir"
    cp "$OMBRIX_DIST_X86/Ombrix_Setup.exe" "$dir/$SETUP_NAME" ||
        fail "$OMBRIX_DIST_X86/Ombrix_Setup.exe is missing (run tools/build.sh)"
    SETUP_WIN="C:\\users\\Public\\My Downloads\\$SETUP_NAME"
}

setup_start() {
    local tag=$1 line=$2 launcher
    launcher=$(WINE_ARCH=x86 helper_exe uninstall_launcher) || exit 1
    rm -f "$WINE_TMP/$tag.out"
    wine_bg "$tag" "$launcher" --command "$line"
}

setup_start_uninstall() {
    local tag=$1 launcher
    launcher=$(WINE_ARCH=x86 helper_exe uninstall_launcher) || exit 1
    rm -f "$WINE_TMP/$tag.out"
    wine_bg "$tag" "$launcher"
}

setup_exit_code() {
    local tag=$1 secs=${2:-30}
    local deadline=$((SECONDS + secs))
    until grep -q '^exit ' "$WINE_TMP/$tag.out" 2>/dev/null; do
        if grep -q -e '^no ' -e 'failed' "$WINE_TMP/$tag.out" 2>/dev/null; then
            fail "the launcher could not start the program: $(tr -d '\r' <"$WINE_TMP/$tag.out")"
        fi
        [ $SECONDS -lt $deadline ] || fail "$tag has not ended within $secs s"
        sleep 0.2
    done
    tr -d '\r' <"$WINE_TMP/$tag.out" | awk '$1 == "exit" { print $2 }'
}

# setup_driver.exe ARGS: its output without CR, and its own exit status (a subshell, so its
# pipefail stays inside).
driver_out() (
    exe=$(WINE_ARCH=x86 helper_exe setup_driver) || exit 1
    set -o pipefail
    wine_run -t 90 "$exe" "$@" | tr -d '\r'
)

drv() {
    local rc
    DRV_OUT=$(driver_out "$@")
    rc=$?
    [ "$rc" = 0 ] || fail "setup_driver $*: $DRV_OUT"
    note "$* -> $(head -n 1 <<<"$DRV_OUT")"
}

drv_line() {
    local prefix=$1
    awk -v p="$prefix" 'index($0, p) == 1 { print substr($0, length(p) + 1); exit }' <<<"$DRV_OUT"
}

shoot() {
    local name=$1 what=${2:-sheet} caption=${3:-} rect
    rect=$(driver_out rect "$what" ${caption:+"$caption"}) || fail "no rectangle of the $what for $name"
    set -- $rect
    import -window root "$WINE_TMP/screen.png" || fail "screenshot failed"
    convert "$WINE_TMP/screen.png" -crop "$(($3 - $1 + 20))x$(($4 - $2 + 20))+$(($1 - 10))+$(($2 - 10))" +repage \
        "$SETUP_ARTIFACTS/$name.png" || fail "crop failed"
    note "screenshot $SETUP_ARTIFACTS/$name.png"
}

regdump() {
    REG_OUT=$(driver_out regdump "$1")
}

reg_field() {
    awk -F'\t' -v k="$1" -v n="$2" -v f="$3" '$1 == k && $2 == n { print $f; found = 1; exit }
        END { if (!found) print "(missing)" }' <<<"$REG_OUT"
}

expect() {
    [ "$2" = "$3" ] || fail "$1: got [$2], expected [$3]"
}

standin_lines() {
    local log
    log=$(prefix_c_dir)/ombrix-standins.log
    [ -f "$log" ] || return 0
    awk -F'\t' -v n="$1" '$1 == n && $2 == "start" { print $4 }' "$log"
}

install_dir() { echo "$(prefix_c_dir)/Program Files/Ombrix"; }

setup_install() {
    local lang=${1:-C.UTF-8} code
    LANG=$lang setup_start install "\"$SETUP_WIN\""
    drv wait-sheet 30
    drv wait-page welcome 10
    drv press next
    drv wait-page finish 30
    drv press finish
    drv wait-box 10
    drv answer no
    drv wait-gone 20
    code=$(setup_exit_code install 30)
    expect "exit code of the install" "$code" 1
}

machine_state() {
    local key
    (cd "$(prefix_c_dir)" && find . -path ./windows/temp -prune -o -path './users/*/Temp' -prune \
        -o -path './users/*/AppData/Local/Temp' -prune -o -name ombrix-standins.log -prune \
        -o -path './windows/Installer' -prune -o -print | LC_ALL=C sort)
    for key in 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' \
               'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' \
               'HKLM\System\CurrentControlSet\Services\Ombrix_Service' \
               'HKLM\System\CurrentControlSet\Services\Ombrix_Filter' \
               'HKLM\SYSTEM\CurrentControlSet\Control\FileSystem' \
               'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Advanced'; do
        echo "== $key"
        regdump "$key" || true
        echo "$REG_OUT"
    done
}

# A session of its own for the setup: the debugger-output listener is its first process (it also
# keeps the services that the session starts alive); setup_session_end stops the listener and
# waits for every other process of the prefix to end.
DBWIN_PID=
setup_session_start() {
    dbwin_start
    DBWIN_PID=${WINE_BG_PIDS[-1]}
}

setup_session_end() {
    [ -n "$DBWIN_PID" ] && kill "$DBWIN_PID" 2>/dev/null
    DBWIN_PID=
    wine_session_end "${1:-60}"
}

# The statistics file's FILETIME fields and the current time in the same units.
filetime_now() { echo $(( ($(date +%s) + 11644473600) * 10000000 )); }
stats_filetime() { od -An -tu8 -j 1 -N8 --endian=little "$1" | tr -d ' '; }

# A fresh 32-bit prefix with Ombrix installed (the English wizard, No to the restart prompt), in
# a new session that has started the installed service, as after the restart.
setup_installed_prefix() {
    setup_prefix x86
    setup_download
    setup_session_start
    setup_install
    setup_session_end
    setup_session_start
    svc_wait_state Ombrix_Service RUNNING 30
}

# The uninstall wizard started from the uninstall entry, on its welcome page; "tick" chooses
# decompression. Leaves the wizard on the progress page.
uninstall_to_progress() {
    local choice=${1:-}
    setup_start_uninstall uninstall
    drv wait-sheet 30
    expect "uninstall sheet title" "$(drv_line 'sheet ')" "$SETUP_CAPTION_UNINSTALL"
    drv wait-page welcome 10
    expect "uninstall welcome title" "$(drv_line '204 ')" "Uninstall Ombrix"
    expect "decompression choice" "$(drv_line 'check 214 ')" unchecked
    [ "$choice" = tick ] && drv tick 214
    drv press next
    drv wait-page progress 10
}

# Waits (at most SECS) until the stand-in NAME has recorded its end COUNT times.
standin_wait_end() {
    local name=$1 count=$2 secs=${3:-20} log
    log=$(prefix_c_dir)/ombrix-standins.log
    local deadline=$((SECONDS + secs))
    until [ "$(awk -F'\t' -v n="$name" '$1 == n && $2 == "end"' "$log" 2>/dev/null | wc -l)" -ge "$count" ]; do
        [ $SECONDS -lt $deadline ] || fail "$name did not run to its end $count time(s) within $secs s"
        sleep 0.2
    done
}

# What an uninstallation removes is gone (the install directory itself within a few seconds) and
# what it keeps stays.
check_removed() {
    local dir deadline
    dir=$(install_dir)
    regdump 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
    expect "Run value after the uninstallation" "$(reg_field . Ombrix_Viewer 5)" "(missing)"
    regdump "$SETUP_UNINSTALL_KEY" && fail "the uninstall entry is still there"
    regdump 'HKLM\System\CurrentControlSet\Services\Ombrix_Filter' && fail "the driver service Ombrix_Filter is still registered"
    # A running service disappears once it has stopped.
    deadline=$((SECONDS + 15))
    while regdump 'HKLM\System\CurrentControlSet\Services\Ombrix_Service'; do
        [ $SECONDS -lt $deadline ] || fail "the service Ombrix_Service is still registered"
        sleep 0.5
    done
    deadline=$((SECONDS + 15))
    while [ -e "$dir" ]; do
        [ $SECONDS -lt $deadline ] || fail "the install directory is still there: $(ls -A "$dir" | tr '\n' ' ')"
        sleep 0.5
    done
    regdump 'HKLM\SYSTEM\CurrentControlSet\Control\FileSystem'
    expect "NtfsDisableLastAccessUpdate after the uninstallation" "$(reg_field . NtfsDisableLastAccessUpdate 5)" 1
    regdump 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Advanced'
    expect "ShowCompColor after the uninstallation" "$(reg_field . ShowCompColor 5)" 0
    [ -f "$(prefix_c_dir)/windows/system32/drivers/Ombrix_Filter.sys" ] || fail "the uninstallation removed the driver file"
    drv temp
    [ -e "$(prefix_c_dir)/$(sed 's/^C:\\//; s/\\/\//g' <<<"$DRV_OUT")Ombrix" ] && fail "the extraction directory is still there"
    return 0
}

# The self-removal command ran: cmd ran the ping stand-in from the system directory with a wait
# of 500 ms per reply.
check_self_removal_ping() {
    local lines
    standin_wait_end ping 1 20
    lines=$(standin_lines ping)
    grep -qx '1.0.0.0 -w 500' <<<"$lines" || fail "no ping for the self-removal; ping ran with [$lines]"
    awk -F'\t' '$1 == "ping" && $2 == "start" { print tolower($5) }' "$(prefix_c_dir)/ombrix-standins.log" |
        grep -q '^"\{0,1\}c:\\windows\\system32\\ping.exe"\{0,1\} ' || fail "ping was not started from the system directory"
}

# The text of string IDS_NAME in the LANGUAGE block LANG (e.g. LANG_GERMAN) of the setup's
# resource script, in the driver's escaped form (the script writes a line break as \n and a quote
# as ""). Fails when the script has no such string.
rc_string() {
    local lang=$1 name=$2 text
    text=$(awk -v lang="LANGUAGE $lang," -v name="$name" '
        index($0, "LANGUAGE ") == 1 { inblock = (index($0, lang) == 1) }
        inblock && $1 == name { sub(/^[^"]*"/, ""); sub(/"[[:space:]]*$/, ""); gsub(/""/, "\""); print; exit }
    ' "$OMBRIX_ROOT/Ombrix_Setup/Ombrix_Setup.rc")
    [ -n "$text" ] || fail "no $name in the $lang block of Ombrix_Setup.rc"
    printf '%s' "$text"
}
