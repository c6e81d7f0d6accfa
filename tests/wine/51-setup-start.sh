#!/usr/bin/env bash
# Ombrix_Setup's start under Wine and Xvfb. In a fresh 32-bit prefix: "-uninstall" in lower case
# opens the install wizard; a second instance started meanwhile ends with exit code 0 and shows
# nothing; a cancel confirmed on the install progress page closes the wizard (exit code 1) and
# leaves the prefix as it was; a copy of the setup with one byte changed installs nothing and
# says so on its finish page. Then, in the same prefix, a German installation (LANG=de_DE.UTF-8)
# with every page and message box photographed. In a 64-bit prefix the setup refuses with message
# 503 and exit code 0. Screenshots: build/artifacts/setup/{start-*,install-de-*,refuse-*}.png.
#
#   bash tests/wine/51-setup-start.sh
set -u
. "$(dirname "$0")/setup_lib.sh"
setup_under_xvfb "$@"
. "$(dirname "$0")/lib.sh"

locale -a | grep -qx de_DE.utf8 || fail "locale de_DE.utf8 is missing (tools/test.sh generates it)"

# True when no message box is shown (the driver's wait ends at once).
no_box() { ! driver_out wait-box 0 >/dev/null; }

t_start=$SECONDS
setup_prefix x86
setup_download
setup_session_start
machine_state >"$WINE_TMP/before.state"

# ---- "-uninstall" is not "-UNINSTALL": the install wizard opens.
setup_start first "\"$SETUP_WIN\" -uninstall"
drv wait-sheet 30
expect "sheet title for -uninstall" "$(drv_line 'sheet ')" "$SETUP_CAPTION_INSTALL"
drv wait-page welcome 10
expect "welcome title for -uninstall" "$(drv_line '204 ')" "Welcome to Ombrix"
grep -q '^214 (hidden) ' <<<"$DRV_OUT" || fail "the decompression choice is shown for -uninstall"

# ---- A second instance ends at once with 0 and shows nothing.
setup_start second "\"$SETUP_WIN\""
expect "exit code of the second instance" "$(setup_exit_code second 30)" 0
drv count
expect "wizard sheets while the second instance ran" "$DRV_OUT" 1
no_box || fail "the second instance showed a message box"
drv page
expect "page after the second instance" "$(drv_line 'page ')" welcome

# ---- A cancel confirmed on the progress page: the wizard closes, nothing is installed.
drv press next
drv wait-page progress 10
drv press cancel
drv wait-box 10 "$SETUP_CAPTION_INSTALL"
expect "cancel confirmation" "$(drv_line 'text ')" 'Installation incomplete.  If you close the installation wizard now, Ombrix will not be installed. \n\nAre you sure you want to close the installation wizard?'
shoot start-en-progress-cancel box "$SETUP_CAPTION_INSTALL"
drv answer yes
drv wait-gone 10
expect "exit code after the confirmed cancel" "$(setup_exit_code first 30)" 1
sleep 2
machine_state >"$WINE_TMP/after.state"
diff "$WINE_TMP/before.state" "$WINE_TMP/after.state" >"$WINE_TMP/state.diff" ||
    fail "the cancelled installation changed the machine: $(head -n 20 "$WINE_TMP/state.diff")"
[ -e "$(install_dir)" ] && fail "the cancelled installation created C:\\Program Files\\Ombrix"
note "cancel checked after $((SECONDS - t_start)) s"

# ---- A setup file that is not the sealed one (one letter of its DOS stub changed) installs
# nothing and says so on the finish page.
downloads="$(prefix_c_dir)/users/Public/My Downloads"
cp "$downloads/$SETUP_NAME" "$downloads/Changed.exe"
printf 't' | dd of="$downloads/Changed.exe" bs=1 seek=$((0x4E)) conv=notrunc status=none
cmp -s "$downloads/$SETUP_NAME" "$downloads/Changed.exe" && fail "the changed copy is the same"
setup_start changed "\"C:\\users\\Public\\My Downloads\\Changed.exe\""
drv wait-sheet 30
drv press next
drv wait-page finish 30
[ "$(drv_line '206 ')" = "Ombrix installation complete" ] && fail "a changed setup file reported the installation complete"
note "finish page of the changed setup: $(drv_line '206 ') / $(drv_line '212 ')"
shoot start-en-changed-finish
drv press finish
drv wait-box 10 "$SETUP_CAPTION_INSTALL"
drv answer no
drv wait-gone 20
setup_exit_code changed 30 >/dev/null
rm -f "$downloads/Changed.exe"
machine_state >"$WINE_TMP/after.state"
diff "$WINE_TMP/before.state" "$WINE_TMP/after.state" >"$WINE_TMP/state.diff" ||
    fail "the changed setup changed the machine: $(head -n 20 "$WINE_TMP/state.diff")"
note "changed setup checked after $((SECONDS - t_start)) s"

# ---- German: every page and message box shows the German resource texts; the install happens.
de() { rc_string LANG_GERMAN "$1"; }
LANG=de_DE.UTF-8 setup_start german "\"$SETUP_WIN\""
drv wait-sheet 30
title_de=$(de IDS_INSTALL_CAPTION)
[ "$title_de" != "$SETUP_CAPTION_INSTALL" ] || fail "the German caption in the resource script is the English one"
expect "German sheet title" "$(drv_line 'sheet ')" "$title_de"
drv wait-page welcome 10
expect "German welcome title" "$(drv_line '204 ')" "$(de IDS_INSTALL_WELCOME_TITLE)"
expect "German welcome body" "$(drv_line '207 ')" "$(de IDS_INSTALL_WELCOME_BODY)"
shoot install-de-1-welcome
drv press cancel
drv wait-box 10 "$title_de"
expect "German cancel confirmation" "$(drv_line 'text ')" "$(de IDS_INSTALL_CANCEL)"
shoot install-de-1-cancel box "$title_de"
drv answer no
drv press next
drv wait-page progress 10
expect "German progress header" "$(drv_line '205 ')" "$(de IDS_INSTALL_PROGRESS_HEADER)"
expect "German progress body" "$(drv_line '209 ')" "$(de IDS_INSTALL_PROGRESS_BODY)"
shoot install-de-2-progress
drv wait-page finish 30
expect "German finish header" "$(drv_line '206 ')" "$(de IDS_INSTALL_FINISH_HEADER)"
expect "German finish body" "$(drv_line '212 ')" "$(de IDS_INSTALL_FINISH_BODY)"
shoot install-de-3-finish
drv press finish
drv wait-box 10 "$title_de"
expect "German restart prompt" "$(drv_line 'text ')" "$(de IDS_RESTART_PROMPT)"
shoot install-de-4-restart box "$title_de"
drv answer no
drv wait-gone 20
expect "exit code of the German install" "$(setup_exit_code german 30)" 1
regdump "$SETUP_UNINSTALL_KEY" || fail "the German install wrote no uninstall entry"
# The product name is the same in every language.
expect "DisplayName of the German install" "$(reg_field . DisplayName 5)" Ombrix
note "German install checked after $((SECONDS - t_start)) s"

# ---- A 64-bit system: message 503 with caption 504, exit code 0, no wizard, nothing installed.
setup_prefix x64
setup_download
setup_start refuse "\"$SETUP_WIN\""
drv wait-box 30 "$SETUP_CAPTION_INSTALL"
expect "refusal text" "$(drv_line 'text ')" "Program installation error.  The system is 64-bits, installation program is 32-bits."
expect "refusal buttons" "$(drv_line 'buttons')" " ok"
drv count
expect "wizard sheets on a 64-bit system" "$DRV_OUT" 0
shoot refuse-x64 box "$SETUP_CAPTION_INSTALL"
drv answer ok "$SETUP_CAPTION_INSTALL"
expect "exit code of the refusal" "$(setup_exit_code refuse 30)" 0
for d in "Program Files/Ombrix" "Program Files (x86)/Ombrix"; do
    [ -e "$(prefix_c_dir)/$d" ] && fail "the refused setup created C:\\$d"
done
regdump "$SETUP_UNINSTALL_KEY" && fail "the refused setup wrote an uninstall entry"

echo "setup start: all checks passed ($((SECONDS - t_start)) s)"
