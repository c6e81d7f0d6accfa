#!/usr/bin/env bash
# A cancel confirmed on the uninstall progress page under Wine and Xvfb, in a fresh 32-bit prefix
# with Ombrix installed and its service running:
# - without decompression: the machine is exactly as it was (so the next case starts from the
#   state a fresh installation leaves);
# - with decompression chosen (the uninstall start has removed the service): the wizard closes
#   with the service registered and running again, the driver service, the uninstall entry, the
#   Run value and the files in place.
# Screenshot of the confirmation: build/artifacts/setup/uninstall-en-2-cancel.png.
#
#   bash tests/wine/54-setup-uninstall-cancel.sh
set -u
. "$(dirname "$0")/setup_lib.sh"
setup_under_xvfb "$@"
. "$(dirname "$0")/lib.sh"

cancel_on_progress() {
    drv press cancel
    drv wait-box 10 "$SETUP_CAPTION_UNINSTALL"
    expect "uninstall cancel confirmation" "$(drv_line 'text ')" 'Uninstallation incomplete. If you close the uninstallation wizard now, Ombrix will not be uninstalled. \n\nAre you sure you want to close the uninstallation wizard?'
    [ -n "${1:-}" ] && shoot "$1" box "$SETUP_CAPTION_UNINSTALL"
    drv answer yes
    drv wait-gone 20
    expect "exit code after the confirmed cancel" "$(setup_exit_code uninstall 30)" 1
}

t_start=$SECONDS

# ---- Without decompression: nothing changes. The same prefix then serves the second case, since
# this one must leave it exactly as the installation left it.
setup_installed_prefix
machine_state >"$WINE_TMP/before.state"
files=$(cd "$(install_dir)" && ls -1A | tr '\n' '|')
uninstall_to_progress
cancel_on_progress
svc_wait_state Ombrix_Service RUNNING 5
sleep 3
machine_state >"$WINE_TMP/after.state"
diff "$WINE_TMP/before.state" "$WINE_TMP/after.state" >"$WINE_TMP/state.diff" ||
    fail "the cancelled uninstallation changed the machine: $(head -n 20 "$WINE_TMP/state.diff")"
expect "delayed commands after the cancel" "$(standin_lines ping | wc -l) $(standin_lines shutdown | wc -l)" "0 0"
note "cancel without decompression checked after $((SECONDS - t_start)) s"

# ---- With decompression chosen: the uninstall start removes the service, the cancel brings it back.
uninstall_to_progress tick
cancel_on_progress uninstall-en-2-cancel
regdump 'HKLM\System\CurrentControlSet\Services\Ombrix_Service' || fail "the service is not registered after the cancel"
expect "service ImagePath after the cancel" "$(reg_field . ImagePath 5)" '"C:\Program Files\Ombrix\Ombrix_Service.exe"'
expect "service start after the cancel" "$(reg_field . Start 5)" 2
svc_wait_state Ombrix_Service RUNNING 30
regdump 'HKLM\System\CurrentControlSet\Services\Ombrix_Filter' || fail "the driver service is gone after the cancel"
regdump "$SETUP_UNINSTALL_KEY" || fail "the uninstall entry is gone after the cancel"
regdump 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
expect "Run value after the cancel" "$(reg_field . Ombrix_Viewer 5)" '"C:\Program Files\Ombrix\Ombrix_Viewer.exe"'
expect "files after the cancel" "$(cd "$(install_dir)" && ls -1A | tr '\n' '|')" "$files"
sleep 3
[ -d "$(install_dir)" ] || fail "the install directory was removed after the cancel"
expect "delayed commands after the cancel" "$(standin_lines ping | wc -l) $(standin_lines shutdown | wc -l)" "0 0"

echo "setup uninstall cancel: all checks passed ($((SECONDS - t_start)) s)"
