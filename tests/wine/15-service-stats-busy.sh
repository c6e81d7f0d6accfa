#!/usr/bin/env bash
# The statistics file busy in another process (a viewer reading it holds it without sharing):
# the cycle of the x86 test build cannot create it, leaves it as it was and goes on; a later
# cycle writes it once it is free again.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/service_lib.sh"

wine_prefix_new "$(wine_default_arch)"
ombrix_service_install "$(ombrix_test_exe Ombrix_Service_TestCycle.exe)"
ini=$OMBRIX_DIR/Ombrix.ini
# A previous record that the blocked cycle must leave untouched: 597 bytes of 0xAA.
head -c 597 /dev/zero | tr '\0' '\252' >"$ini"
before=$(sha256sum <"$ini")

dbwin_start
release=$WINE_TMP/release
wine_bg hold_file "$(helper_exe hold_file)" 'C:\Program Files\Ombrix\Ombrix.ini' "$(winpath "$release")" 120
deadline=$((SECONDS + 30))
until grep -q '^held' "$WINE_TMP/hold_file.out" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "hold_file did not open the file: $(cat "$WINE_TMP/hold_file.out")"
    sleep 0.2
done

svc_start "$OMBRIX_SVC"
dbwin_wait $'----- Compress Filter Thread End\n' 60
[ "$(sha256sum <"$ini")" = "$before" ] || fail "Ombrix.ini changed while another process held it"
# The service goes on after the failed write: reconnect attempt, still running.
[ "$(dbwin_count "Not find VarnFilter Service")" -ge 2 ] || fail "no filter reconnection after the blocked write"
[ "$(svc_state "$OMBRIX_SVC")" = RUNNING ] || fail "service is $(svc_state "$OMBRIX_SVC") after the blocked write"

touch "$release"
deadline=$((SECONDS + 30))
until grep -q '^released' "$WINE_TMP/hold_file.out"; do
    [ $SECONDS -lt $deadline ] || fail "hold_file did not release the file"
    sleep 0.2
done

# A following cycle writes the record.
deadline=$((SECONDS + 40))
until [ "$(stats_u8 "$ini" 0)" = 1 ]; do
    [ $SECONDS -lt $deadline ] || fail "Ombrix.ini not rewritten after it was released (Valid = $(stats_u8 "$ini" 0))"
    sleep 0.5
done
cycles=$(dbwin_count $'----- Compress Filter Thread End\n')
[ "$cycles" -ge 2 ] || fail "file written without a second cycle ($cycles)"
[ "$(stat -c %s "$ini")" = 597 ] || fail "Ombrix.ini has $(stat -c %s "$ini") bytes"
[ "$(stats_u32 "$ini" 85)" = 3 ] || fail "DriveType[C] = $(stats_u32 "$ini" 85)"

took=$(ombrix_service_stop_timed) || exit 1
dbwin_wait "Ombrix Stop" 10
echo "busy statistics file: ok ($cycles cycles, stop $took ms)"
