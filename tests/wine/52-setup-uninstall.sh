#!/usr/bin/env bash
# Uninstalling Ombrix under Wine and Xvfb, without decompression: in a fresh 32-bit prefix with
# Ombrix installed and its service running, the uninstaller is started from the uninstall entry
# as the system's program list starts it, and driven through its pages (the cancel confirmation
# refused on the welcome page, Next, the progress page moving on by itself, Finish, No to the
# restart prompt). Afterwards the Run value, both services, the uninstall entry and the files are
# gone, and within a few seconds the install directory too (the self-removal command, whose ping
# ran with -w 500); no restart was launched; "NtfsDisableLastAccessUpdate", "ShowCompColor" and
# the driver file stay. Screenshots: build/artifacts/setup/uninstall-en-*.png.
#
#   bash tests/wine/52-setup-uninstall.sh
set -u
. "$(dirname "$0")/setup_lib.sh"
setup_under_xvfb "$@"
. "$(dirname "$0")/lib.sh"

t_start=$SECONDS
setup_installed_prefix
note "installed after $((SECONDS - t_start)) s"

setup_start_uninstall uninstall
drv wait-sheet 30
expect "command line started" "$(tr -d '\r' <"$WINE_TMP/uninstall.out" | awk 'sub(/^command /, "")')" \
    "\"C:\\Program Files\\Ombrix\\$SETUP_NAME\" -UNINSTALL"
expect "uninstall sheet title" "$(drv_line 'sheet ')" "$SETUP_CAPTION_UNINSTALL"
drv wait-page welcome 10
expect "uninstall welcome title" "$(drv_line '204 ')" "Uninstall Ombrix"
expect "uninstall welcome body" "$(drv_line '207 ')" 'The uninstallation wizard will remove Ombrix from your computer. \nPlease press "Next" to proceed with the uninstallation.'
expect "uninstall welcome second body" "$(drv_line '208 ')" "Compressed files will not affect their use. If decompression is preferred, the uninstallation process will restore the reduced disk space. This process will take tens of minutes to complete."
expect "check box text" "$(drv_line '214 ')" "Decompress compressed files"
expect "decompression choice" "$(drv_line 'check 214 ')" unchecked
expect "uninstall welcome buttons" "$(drv_line 'buttons')" " next cancel"
shoot uninstall-en-1-welcome

drv press cancel
drv wait-box 10 "$SETUP_CAPTION_UNINSTALL"
expect "uninstall cancel confirmation" "$(drv_line 'text ')" 'Uninstallation incomplete. If you close the uninstallation wizard now, Ombrix will not be uninstalled. \n\nAre you sure you want to close the uninstallation wizard?'
shoot uninstall-en-1-cancel box "$SETUP_CAPTION_UNINSTALL"
drv answer no
drv wait-page welcome 5

drv press next
drv wait-page progress 10
expect "uninstall progress header" "$(drv_line '205 ')" "Uninstalling Ombrix"
expect "uninstall progress body" "$(drv_line '209 ')" "Uninstalling Ombrix. This may take tens of minutes, please wait."
expect "uninstall progress buttons" "$(drv_line 'buttons')" " cancel"
grep -q '^213 (hidden) ' <<<"$DRV_OUT" || grep -q '^213 $' <<<"$DRV_OUT" || fail "the current-file label shows [$(drv_line '213 ')] without decompression"
shoot uninstall-en-2-progress

drv wait-page finish 30
expect "uninstall finish header" "$(drv_line '206 ')" "Ombrix successfully uninstalled"
expect "uninstall finish body" "$(drv_line '212 ')" 'The uninstallation wizard has removed Ombrix from your system.\nClick "Finish" to close the uninstallation wizard.'
expect "uninstall finish buttons" "$(drv_line 'buttons')" " finish"
shoot uninstall-en-3-finish
# Before Finish: everything but the running setup's own file is gone from the install directory.
expect "install directory before Finish" "$(cd "$(install_dir)" 2>/dev/null && ls -1A | tr '\n' '|')" "$SETUP_NAME|"
drv press finish
drv wait-box 10 "$SETUP_CAPTION_UNINSTALL"
expect "uninstall restart prompt" "$(drv_line 'text ')" 'System must be restarted! \nRestart the computer now?'
shoot uninstall-en-4-restart box "$SETUP_CAPTION_UNINSTALL"
drv answer no
drv wait-gone 20
expect "exit code of the uninstall" "$(setup_exit_code uninstall 30)" 1

check_self_removal_ping
check_removed
# Give a restart command its time (its ping waits 4 x 1000 ms); none was launched.
sleep 5
expect "restart commands after No" "$(standin_lines shutdown | wc -l)" 0
expect "ping runs after No" "$(standin_lines ping | tr '\n' '|')" "1.0.0.0 -w 500|"
dbwin_texts | grep -q 'Decompress' && fail "a decompression pass ran without the choice: $(dbwin_texts | grep Decompress)"
dbwin_texts | grep -q 'SetupOpenInfFile' && fail "the INF could not be opened: $(dbwin_texts | grep SetupOpenInfFile)"

echo "setup uninstall: all checks passed ($((SECONDS - t_start)) s)"
