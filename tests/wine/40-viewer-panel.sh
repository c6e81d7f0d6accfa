#!/usr/bin/env bash
# Ombrix_Viewer running under Wine and Xvfb, the x86 build in a 32-bit prefix or the x64 build in
# a 64-bit prefix: the panel found by class and title shows the statistics file beside the
# executable and follows its changes on activation; the panel hides on losing activation unless
# the logo was clicked; keys do not close it; a second start exits with 0 and leaves one panel;
# the value tooltips carry the summary in local time; the help link opens HELP.chm (and does
# nothing when it is missing); "TaskbarCreated" brings the tray icon back without a balloon;
# "Exit" in the tray menu and ViewerExitMessage end the viewer with 0. Screenshots of the shown
# panel in English, German and French go to build/artifacts/viewer/.
#
#   bash tests/wine/40-viewer-panel.sh [x86|x64]     (default x86; 40-viewer-panel-x64.sh runs x64)
set -u

arch=${1:-x86}

# One virtual screen per run, 1024 x 768.
if [ -z "${OMBRIX_VIEWER_XVFB:-}" ]; then
    command -v xvfb-run >/dev/null || { echo "FAIL: xvfb-run is not installed"; exit 1; }
    OMBRIX_VIEWER_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$arch"
fi

. "$(dirname "$0")/lib.sh"

for loc in de_DE.utf8 fr_FR.utf8; do
    locale -a | grep -qx "$loc" || fail "locale $loc is missing (tools/test.sh generates it)"
done

artifacts=$OMBRIX_ROOT/build/artifacts/viewer
mkdir -p "$artifacts"

# The summary shows local time; the prefix runs at UTC+8 all year (no daylight saving).
export TZ=Asia/Taipei
wine_prefix_new "$arch"
app=$(prefix_c_dir)/Ombrix
mkdir -p "$app"
cp "$(dist_exe Ombrix_Viewer.exe)" "$app/" || exit 1
cp "$(helper_exe viewer_probe)" "$app/" || exit 1
stats='C:\Ombrix\Ombrix.ini'
export LANG=C.UTF-8 LC_ALL=

probe() { wine_run "$app/viewer_probe.exe" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# The probe prints a verdict for every command it runs. A failure with no output at all means the probe itself did not run to its
# end under Wine, which says nothing about the viewer: it is run once more, and the note says so.
must() {
    local out rc
    out=$(probe "$@")
    rc=$?
    if [ $rc != 0 ] && [ -z "$out" ]; then
        note "$*: the probe ended with exit code $rc and printed nothing; running it again"
        out=$(probe "$@")
        rc=$?
    fi
    [ $rc = 0 ] || fail "probe $* (exit code $rc): $out"
    note "$*: $out"
}

viewer_pid=
start_viewer() {
    # $1: LANG of the viewer process (its display language).
    LANG=$1 wine_bg viewer "$app/Ombrix_Viewer.exe"
    viewer_pid=${WINE_BG_PIDS[-1]}
    must wait-panel
}

# Waits (at most 20 s) for the viewer process to end and checks its exit code 0.
wait_viewer() {
    local deadline=$((SECONDS + 20)) code
    while kill -0 "$viewer_pid" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "the viewer is still running 20 s after $1"
        sleep 0.2
    done
    wait "$viewer_pid"
    code=$?
    [ "$code" = 0 ] || fail "the viewer ended with exit code $code after $1"
}

stop_viewer() {
    must exit
    wait_viewer ViewerExitMessage
    must wait-gone
}

# Clicks the middle of a control (0: the panel) with the X server's pointer.
click() {
    local rect
    rect=$(probe rect "$1") || fail "no rectangle for control $1"
    set -- $rect
    xdotool mousemove $(( ($1 + $3) / 2 )) $(( ($2 + $4) / 2 )) click 1
}

# Screenshot of the shown panel with a margin around it.
shoot() {
    local name=$1 rect
    rect=$(probe rect 0) || fail "no panel rectangle"
    set -- $rect
    sleep 1
    import -window root "$WINE_TMP/screen.png" || fail "screenshot failed"
    convert "$WINE_TMP/screen.png" -crop "$(( $3 - $1 + 40 ))x$(( $4 - $2 + 40 ))+$(( $1 - 20 ))+$(( $2 - 20 ))" +repage \
        "$artifacts/panel-$arch-$name.png" || fail "crop failed"
    note "screenshot $artifacts/panel-$arch-$name.png"
}

# 6 December 2026, 21:07 UTC.
updated=134410648200000000

# --- No statistics file: no data yet, nothing listed; the panel starts hidden.
start_viewer C.UTF-8
must expect-title Ombrix_Viewer
must expect 503 '[]'
must expect 505 'Calculating...'
must expect 507 'Calculating...'
must wait-visible 0
# The tray icon and its start-up balloon. With no system tray, Wine shows the icons in a small
# window of their own along the top left of the screen and a balloon just below it; where
# neither is, the virtual screen is black.
tray_mean() {      # mean brightness of the icon strip (0: no tray icon shown)
    import -window root "$WINE_TMP/screen.png" || fail "screenshot failed"
    convert "$WINE_TMP/screen.png" -crop 200x44+0+0 +repage -format '%[fx:mean]' info:
}
balloon_mean() {   # mean brightness below the strip, where the balloon opens (uses the last shot)
    convert "$WINE_TMP/screen.png" -crop 200x60+0+46 +repage -format '%[fx:mean]' info:
}
lit() { awk -v v="$1" 'BEGIN { exit !(v > 0.05) }'; }
deadline=$((SECONDS + 10))
until lit "$(tray_mean)" && lit "$(balloon_mean)"; do
    [ $SECONDS -lt $deadline ] || fail "no tray icon with its balloon after the start"
    sleep 0.5
done
convert "$WINE_TMP/screen.png" -crop 480x200+0+0 +repage "$artifacts/tray-$arch-start.png"

# --- The shell's taskbar restarts: its icons are gone, and "TaskbarCreated" brings the viewer's
# back, without a balloon.
must tray-remove
sleep 1
lit "$(tray_mean)" && fail "the tray icon is still shown after it was removed"
must taskbar-created
sleep 2
lit "$(tray_mean)" || fail "TaskbarCreated did not bring the tray icon back"
lit "$(balloon_mean)" && fail "TaskbarCreated showed a balloon"
convert "$WINE_TMP/screen.png" -crop 480x200+0+0 +repage "$artifacts/tray-$arch-recreated.png"

# --- A record appears; a press on the tray icon shows and activates the panel, which refreshes.
must write-stats "$stats" 1 1234 1610612736 $updated C:1:1:3:1610612736:1234 D:1:0:3:0:0 E:1:1:3:0:0 F:1:1:2:5:5
must tray-left
must wait-visible 1
must expect 503 '[C: E: ]'
must expect 505 '12.34 %'
must expect 507 '1.500 GB'
must expect 502 'Active Drive:'
must expect 501 'Ombrix Viewer'
shoot en

# --- The pointer on a value shows the summary: fixed drives only, the update time at UTC+8.
point() {
    local rect
    rect=$(probe rect "$1") || fail "no rectangle for control $1"
    set -- $rect
    xdotool mousemove $(( ($1 + $3) / 2 )) $(( ($2 + $4) / 2 ))
    sleep 0.3
    xdotool mousemove $(( ($1 + $3) / 2 + 2 )) $(( ($2 + $4) / 2 ))
}
point 505
must expect-tip 'C : [12.34%] [1.500 GB] \nD : Not Supported \nE : [0.00%] [0.000 MB] \nLast Updated: 12/7 05:07 '
point 503
must expect-tip 'C : [12.34%] [1.500 GB] \nD : Not Supported \nE : [0.00%] [0.000 MB] \nLast Updated: 12/7 05:07 '
xdotool mousemove 900 100

# --- Esc, Enter and Alt+F4 on the active panel neither close nor hide it.
xdotool key Escape
xdotool key Return
xdotool key alt+F4
sleep 1
must wait-visible 1
must count 1

# --- Dragging the sizing border does not change the panel's size.
before=$(probe rect 0) || fail "no panel rectangle"
set -- $before
xdotool mousemove $(( $1 + 1 )) $(( ($2 + $4) / 2 )) mousedown 1
sleep 0.3
xdotool mousemove $(( $1 - 60 )) $(( ($2 + $4) / 2 - 30 ))
sleep 0.3
xdotool mouseup 1
sleep 0.5
after=$(probe rect 0) || fail "no panel rectangle"
set -- $before
set -- $(( $3 - $1 )) $(( $4 - $2 )) $after
[ "$1 $2" = "$(( $5 - $3 )) $(( $6 - $4 ))" ] || fail "the panel was resized from $before to $after"
note "size after dragging the border: $(( $5 - $3 )) x $(( $6 - $4 ))"

# --- The help link with no HELP.chm beside the viewer changes nothing.
click 512
sleep 1
must wait-visible 1
must count 1

# --- The record changes; another window takes the activation (the panel hides), the next press
# shows it again and the activation reads the new record.
must write-stats "$stats" 1 5 999999 $updated C:1:1:3:999999:5 D:1:0:3:0:0
must activate-other
must wait-visible 0
must expect 503 '[C: E: ]'
must tray-left
must wait-visible 1
must expect 503 '[C: ]'
must expect 505 '0.05 %'
must expect 507 '0.953 MB'

# --- While another program holds the file open without sharing, a refresh keeps the values of
# the last read; the next refresh after the file is free reads it.
must write-stats "$stats" 1 250 1048576 $updated C:1:1:3:1048576:250
wine_bg hold "$app/viewer_probe.exe" hold "$stats" 6000
hold_pid=${WINE_BG_PIDS[-1]}
deadline=$((SECONDS + 20))
until grep -q holding "$WINE_TMP/hold.out" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "the probe did not open the statistics file"
    sleep 0.2
done
must activate-other
must wait-visible 0
must tray-left
must wait-visible 1
sleep 1
must expect 505 '0.05 %'
wait "$hold_pid"
must activate-other
must tray-left
must wait-visible 1
must expect 505 '2.50 %'
must expect 507 '1.000 MB'

# --- A shorter file replaces only the leading bytes: Valid 0 turns the values into no-data.
must write-bytes "$stats" 1 0
must activate-other
must wait-visible 0
must tray-left
must wait-visible 1
must expect 505 'Calculating...'
must expect 503 '[C: ]'

# --- A click on the logo keeps the panel open when it loses the activation; the next press on
# the tray icon hides it.
must write-stats "$stats" 1 10000 1073741824 $updated C:1:1:3:1073741824:10000
click 511
sleep 1
must activate-other
sleep 1
must wait-visible 1
must tray-left
must wait-visible 0

# --- A second start ends at once with 0 and leaves one panel.
second=$(wine_run -t 30 "$app/Ombrix_Viewer.exe"; echo "exit $?")
[ "$second" = "exit 0" ] || fail "a second start ended with '$second'"
must count 1

# --- "Exit", the one item of the tray menu (opened at the pointer), ends the viewer with 0.
# The menu is opened from the shown panel with the pointer resting on it: Wine keeps its own
# idea of the pointer, updated by motion over its windows, and brings no hidden window to the
# foreground, which the menu needs to stay open.
must tray-left
must wait-visible 1
rect=$(probe rect 505) || fail "no rectangle for control 505"
set -- $rect
xdotool mousemove "$1" "$2"
sleep 0.3
xdotool mousemove $(( $1 + 1 )) $(( $2 + 1 ))
sleep 0.3
must tray-right
sleep 1
xdotool mousemove $(( $1 + 20 )) $(( $2 + 10 )) click 1
wait_viewer "Exit in the tray menu"
must wait-gone

# --- The display language picks the resources: German and French panels; ViewerExitMessage
# ends each viewer with exit code 0.
must write-stats "$stats" 1 1234 1610612736 $updated C:1:1:3:1610612736:1234 E:1:1:3:0:0
start_viewer de_DE.UTF-8
must tray-left
must wait-visible 1
must expect 502 'Aktives Laufwerk:'
must expect 503 '[C: E: ]'
shoot de
stop_viewer

start_viewer fr_FR.UTF-8
must tray-left
must wait-visible 1
must expect 502 $'Lecteur actif\xc2\xa0:'
must expect 504 'Taux de compression des données :'
shoot fr

# --- With HELP.chm beside the viewer, the help link opens it in the help viewer.
mkdir -p "$WINE_TMP/help"
cat >"$WINE_TMP/help/help.hhp" <<'HHP'
[OPTIONS]
Compiled file=HELP.chm
Default topic=index.html
Title=Ombrix test help

[FILES]
index.html
HHP
echo '<html><head><title>Ombrix test help</title></head><body><p>Help.</p></body></html>' >"$WINE_TMP/help/index.html"
(cd "$WINE_TMP/help" && chmcmd help.hhp >/dev/null 2>&1) && [ -f "$WINE_TMP/help/HELP.chm" ] ||
    fail "chmcmd could not build a help file"
cp "$WINE_TMP/help/HELP.chm" "$app/"
click 512
must window-of-class 'HH Parent'
stop_viewer

echo "viewer ($arch): all checks passed"
