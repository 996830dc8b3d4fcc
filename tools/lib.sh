# Shared by the tools/ scripts: paths, the Wine environment and a private Xvfb.
# Source it; it defines functions and variables, it starts nothing by itself.

KSM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KSM_BUILD_DIR=${KSM_BUILD_DIR:-$KSM_ROOT/build}
KSM_FFMPEG_DIR=$KSM_BUILD_DIR/ffmpeg-win32
export KSM_ROOT KSM_BUILD_DIR

# The Windows architecture the tests run: i686 (the release's) where Wine's 32-bit loader
# can start, else x86_64 (some kernels run no 32-bit Linux program at all). KSM_ARCH
# overrides. Call after tools/setup has installed Wine.
# A mirror caught mid-sync fails one list now and then: try again, then go on with what
# arrived (whatever needs a list that did not arrive says so plainly itself).
ksm_apt_update() {
    local attempt
    for attempt in 1 2 3; do
        apt-get update -qq </dev/null >/dev/null && return 0
        echo "apt-get update failed (attempt $attempt)" >&2
        [ "$attempt" -eq 3 ] || sleep $((attempt * 20))
    done
    return 0
}

ksm_test_arch() {
    if [ -n "${KSM_ARCH:-}" ]; then
        echo "$KSM_ARCH"
    elif [ ! -e /usr/lib/wine/wine64 ] || /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo i686
    else
        echo x86_64
    fi
}

ksm_wine_env() {
    if [ "$(ksm_test_arch)" = x86_64 ]; then
        case ":$PATH:" in
            *":$KSM_ROOT/tools/wine64:"*) ;;
            *) export PATH="$KSM_ROOT/tools/wine64:$PATH" ;;
        esac
        export WINELOADER=/usr/lib/wine/wine64
    fi
    export WINEPREFIX=${WINEPREFIX:-$KSM_BUILD_DIR/wineprefix}
    export WINEDEBUG=${WINEDEBUG:--all}
    # Wine's own crash debugger stays enabled: tools/setup puts the tests' CrashReport.exe
    # in its place, which logs the crash and lets the program end.
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
    export WINEARCH=${WINEARCH:-win64}
}

# Starts Xvfb on the first free display from :90 and exports DISPLAY.
# KSM_XVFB_PID holds its pid so the caller stops exactly this server.
ksm_start_xvfb() {
    local n
    for n in $(seq 90 199); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        KSM_XVFB_PID=$!
        local i
        for i in $(seq 1 100); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            kill -0 "$KSM_XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$KSM_XVFB_PID" 2>/dev/null; then
            export DISPLAY=":$n"
            return 0
        fi
    done
    echo "could not start Xvfb" >&2
    return 1
}

ksm_stop_xvfb() {
    if [ -n "${KSM_XVFB_PID:-}" ]; then
        kill "$KSM_XVFB_PID" 2>/dev/null || true
        wait "$KSM_XVFB_PID" 2>/dev/null || true
        KSM_XVFB_PID=
    fi
}

# Ends this prefix's wineserver (and with it every Wine process of the prefix).
ksm_stop_wineserver() {
    timeout 20 wineserver -k >/dev/null 2>&1 || true
}
