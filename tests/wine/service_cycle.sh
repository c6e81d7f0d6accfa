# Body of 12-service-cycle-x86.sh and 13-service-cycle-x64.sh (sourced; defines service_cycle ARCH).
#
# The test build Ombrix_Service_TestCycle.exe runs its first cycle 5 s after the start instead of
# an hour. Under Wine, C: is a fixed NTFS drive without a change journal: the cycle opens it,
# cannot read the journal, records the drive and writes the statistics file beside the program.

service_cycle() {
    local arch=$1
    wine_prefix_new "$arch"
    local started_ft
    # Now as a FILETIME (100-ns units since 1601), one minute of slack for the clock's grain.
    started_ft=$(( ( $(date +%s) - 60 + 11644473600 ) * 10000000 ))
    ombrix_service_install "$(ombrix_test_exe Ombrix_Service_TestCycle.exe)"

    dbwin_start
    svc_start "$OMBRIX_SVC"
    dbwin_wait "Ombrix Running ..."
    dbwin_wait "----- Compress Filter Thread Start" 30
    dbwin_wait $'----- C: Compress Start \n' 30
    dbwin_wait "USN Error" 30
    dbwin_wait $'----- Compress Filter Thread End\n' 60
    local ini=$OMBRIX_DIR/Ombrix.ini
    [ -f "$ini" ] || fail "no Ombrix.ini beside the service after a completed cycle"

    # The pass over C: ends at the journal, so C: saved nothing: its line and the total say 0.
    dbwin_wait_re '^C: = 0 , 0 , [1-9][0-9]*$' 5
    dbwin_wait_re '^Total = 0 , 0 , [1-9][0-9]*$' 5
    # A journal error ends the volume pass without its end line.
    dbwin_texts | grep -q '^----- C: Compress End' && fail "end line of C: after a journal error"
    # The filter is looked for again after the cycle.
    [ "$(dbwin_count "Not find VarnFilter Service")" -ge 2 ] || fail "no second filter connection after the cycle"

    local size
    size=$(stat -c %s "$ini")
    [ "$size" = 597 ] || fail "Ombrix.ini has $size bytes"
    [ "$(stats_u8 "$ini" 0)" = 1 ] || fail "Valid = $(stats_u8 "$ini" 0)"
    [ "$(stats_u8 "$ini" 21)" = 1 ] || fail "DriveEligible[C] = $(stats_u8 "$ini" 21)"
    [ "$(stats_u8 "$ini" 53)" = 1 ] || fail "DriveNtfs[C] = $(stats_u8 "$ini" 53)"
    [ "$(stats_u32 "$ini" 85)" = 3 ] || fail "DriveType[C] = $(stats_u32 "$ini" 85)"
    [ "$(stats_i64 "$ini" 213)" = 0 ] || fail "DriveSaved[C] = $(stats_i64 "$ini" 213)"
    [ "$(stats_u32 "$ini" 469)" = 0 ] || fail "DriveRate[C] = $(stats_u32 "$ini" 469)"
    [ "$(stats_i64 "$ini" 9)" = 0 ] || fail "TotalSaved = $(stats_i64 "$ini" 9)"
    [ "$(stats_u32 "$ini" 17)" = 0 ] || fail "TotalRate = $(stats_u32 "$ini" 17)"
    local updated now_ft
    updated=$(od -An -tu8 -j 1 -N8 --endian=little "$ini" | tr -d ' ')
    now_ft=$(( ( $(date +%s) + 60 + 11644473600 ) * 10000000 ))
    [ "$updated" -ge "$started_ft" ] && [ "$updated" -le "$now_ft" ] ||
        fail "UpdatedAt $updated is not the time of the cycle (UTC FILETIME)"
    # Entries 24 to 31 of every per-drive array stay 0.
    local off i
    for i in $(seq 24 31); do
        for off in $((21 + i)) $((53 + i)); do
            [ "$(stats_u8 "$ini" $off)" = 0 ] || fail "per-drive entry $i at offset $off is not 0"
        done
        [ "$(stats_u32 "$ini" $((85 + 4 * i)))" = 0 ] || fail "DriveType[$i] is not 0"
        [ "$(stats_i64 "$ini" $((213 + 8 * i)))" = 0 ] || fail "DriveSaved[$i] is not 0"
        [ "$(stats_u32 "$ini" $((469 + 4 * i)))" = 0 ] || fail "DriveRate[$i] is not 0"
    done

    local took
    took=$(ombrix_service_stop_timed) || exit 1
    note "net stop took $took ms"
    dbwin_wait "Ombrix Stop" 10
    svc_wait_state "$OMBRIX_SVC" STOPPED 10
    echo "service cycle $arch: ok (Ombrix.ini 597 bytes, stop $took ms)"
}
