# Body of 10-service-x86.sh and 11-service-x64.sh (sourced; defines service_basic ARCH [console-start]).
#
# Wine 8 reports Windows 6.1 in 32-bit and 64-bit prefixes alike (01-harness prints what the
# prefix reports), so the version class is NTFSTYPE_WIN7 in both. Wine's fltlib has no filter
# port, so the service must say it found no filter. The first cycle is an hour away: nothing
# else may happen before the stop, and the stop must not wait for it.

service_basic() {
    local arch=$1 console_start=${2:-}
    wine_prefix_new "$arch"
    ombrix_service_install "$(dist_exe Ombrix_Service.exe)"
    # The listener first: it keeps the new session (and the services) alive.
    dbwin_start
    [ "$(svc_state "$OMBRIX_SVC")" = STOPPED ] || fail "installed service is $(svc_state "$OMBRIX_SVC")"

    # A fresh prefix has no "ShowCompColor": the service must create it.
    local advanced='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Advanced'
    wine_tool reg query "$advanced" /v ShowCompColor && fail "fresh prefix already has ShowCompColor: $WINE_OUT"

    if [ "$console_start" = console-start ]; then
        # Started from a console instead of by the service control manager: the dispatcher cannot
        # connect, the program ends with that error, 1063, and logs nothing. (Wine's dispatcher
        # gives up after about 10 s; the exit status arrives as 1063 mod 256 = 39.)
        wine_run -t 60 "$OMBRIX_DIR/Ombrix_Service.exe" >/dev/null 2>&1
        local rc=$?
        [ $rc = 39 ] || fail "console start ended with $rc, not 1063 (39 mod 256)"
        [ -z "$(dbwin_texts)" ] || fail "console start logged: $(dbwin_texts)"
    fi

    svc_start "$OMBRIX_SVC"
    dbwin_wait "Ombrix Running ..."
    dbwin_wait "NTFSTYPE_WIN7"
    dbwin_wait "Not find VarnFilter Service"
    svc_wait_state "$OMBRIX_SVC" RUNNING 10

    # Order of the start-up lines: running, version class, filter.
    local order
    order=$(dbwin_texts | grep -E '^(Ombrix Running \.\.\.|NTFSTYPE_.*|Not find VarnFilter Service)$' | tr '\n' '|')
    [ "$order" = "Ombrix Running ...|NTFSTYPE_WIN7|Not find VarnFilter Service|" ] ||
        fail "start-up lines: $order"

    # The Explorer setting the service enforces in its account's hive.
    wine_tool reg query "$advanced" /v ShowCompColor
    tr -d '\r' <<<"$WINE_OUT" | grep -Eq 'ShowCompColor +REG_DWORD +0x0$' || fail "ShowCompColor not 0: $WINE_OUT"

    # Still waiting for its first cycle.
    sleep 2
    dbwin_has "----- Compress Filter Thread Start" && fail "a cycle started within the first hour"
    dbwin_has "Ombrix Stop" && fail "stopped on its own"

    local took
    took=$(ombrix_service_stop_timed) || exit 1
    note "net stop took $took ms"
    dbwin_wait "Ombrix Stop" 10
    svc_wait_state "$OMBRIX_SVC" STOPPED 10
    [ "$(dbwin_count "Ombrix Stop")" = 1 ] || fail "\"Ombrix Stop\" seen $(dbwin_count "Ombrix Stop") times"
    [ -e "$OMBRIX_DIR/Ombrix.ini" ] && fail "the service wrote Ombrix.ini without a completed cycle"
    echo "service $arch: ok (stop $took ms)"
}
