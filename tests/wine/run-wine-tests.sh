#!/usr/bin/env bash
# Runs the Windows programs under Wine against ptz-headsim: the serial link checks
# (wine_link_check.exe) and, when it is built, one whole upgrade with ptz-upgrade.exe.
# Usage: run-wine-tests.sh WINDOWS_BUILD_DIR NATIVE_BUILD_DIR
# Makes a throw-away Wine prefix, maps COM1 (and COM10) to the simulated head's pty, and removes
# everything again on exit. Exits non-zero when a check fails or something cannot be set up.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 WINDOWS_BUILD_DIR NATIVE_BUILD_DIR" >&2
    exit 2
fi
windows_dir=$(realpath "$1")
native_dir=$(realpath "$2")

check_exe=$windows_dir/tests/wine/wine_link_check.exe
cli_exe=$windows_dir/src/cli/ptz-upgrade.exe
headsim=$native_dir/tools/headsim/ptz-headsim
shim=$native_dir/tests/wine/libptz_modem_lines_shim.so
for needed in "$check_exe" "$headsim" "$shim"; do
    if [ ! -f "$needed" ]; then
        echo "run-wine-tests: $needed is missing; build the windows and native presets first" >&2
        exit 1
    fi
done
for tool in wine wineboot wineserver timeout; do
    if ! command -v "$tool" >/dev/null; then
        echo "run-wine-tests: '$tool' is not installed (scripts/install-deps.sh installs it)" >&2
        exit 1
    fi
done

# Time limits in seconds, so that nothing can hang the suite.
boot_limit=180
run_limit=120
start_limit=10

work=$(mktemp -d "${TMPDIR:-/tmp}/ptz-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
head_link=$work/head-link
headsim_pid=

# Asks ptz-headsim to stop, and kills it if it has not within start_limit seconds: a plain
# `wait` on a simulator stuck in a write would hang the run.
stop_headsim() {
    if [ -n "$headsim_pid" ]; then
        kill "$headsim_pid" 2>/dev/null || true
        local waited=0
        while kill -0 "$headsim_pid" 2>/dev/null && [ "$waited" -lt $((start_limit * 10)) ]; do
            sleep 0.1
            waited=$((waited + 1))
        done
        kill -KILL "$headsim_pid" 2>/dev/null || true
        wait "$headsim_pid" 2>/dev/null || true
        headsim_pid=
    fi
}
cleanup() {
    stop_headsim
    timeout 20 wineserver -k >/dev/null 2>&1 || true
    timeout 20 wineserver -w >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Wine with the modem-line shim preloaded: without it Wine's WaitCommEvent fails on a pty. The
# wineserver a call starts inherits it too. Wine's own chatter goes to the log.
wine_run() {
    local limit=$1
    shift
    LD_PRELOAD=$shim timeout --kill-after=5 "$limit" wine "$@" 2>>"$work/wine.log"
}

# Starts ptz-headsim publishing $head_link and waits for the line it prints once listening.
start_headsim() {
    local out=$work/headsim.out
    : >"$out"
    "$headsim" --link "$head_link" "$@" >"$out" 2>>"$work/headsim.log" &
    headsim_pid=$!
    local waited=0
    until grep -qx "$head_link" "$out"; do
        if ! kill -0 "$headsim_pid" 2>/dev/null || [ "$waited" -ge $((start_limit * 10)) ]; then
            echo "run-wine-tests: ptz-headsim did not start:" >&2
            cat "$work/headsim.log" >&2
            exit 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

echo "Wine prefix: $WINEPREFIX"
mkdir -p "$WINEPREFIX"
# No .NET or HTML engine: they would be fetched from the network, and console programs need neither.
if ! WINEDLLOVERRIDES="mscoree,mshtml=" timeout "$boot_limit" wineboot -i >>"$work/wine.log" 2>&1 ||
    ! timeout "$boot_limit" wineserver -w; then
    echo "run-wine-tests: wineboot failed:" >&2
    cat "$work/wine.log" >&2
    exit 1
fi

start_headsim --no-command
# COM10 names the same head: it opens only through the device-namespace prefix.
for port in COM1 COM10; do
    wine_run "$run_limit" reg add 'HKLM\Software\Wine\Ports' /v "$port" /t REG_SZ \
        /d "$head_link" /f >/dev/null
done
# Wine makes dosdevices/com1 from the registry when it starts. The new server stays up until the
# end, and its helper processes are started here, so that none of them holds this script's
# output open once it has finished.
timeout 20 wineserver -k >/dev/null 2>&1 || true
timeout 20 wineserver -w || true
LD_PRELOAD=$shim wineserver -p >/dev/null 2>&1
wine_run "$run_limit" cmd /c exit >/dev/null

failed=0

echo "== serial link checks (wine_link_check.exe)"
if ! wine_run "$run_limit" "$check_exe" COM1 COM10; then
    failed=1
fi
stop_headsim

if [ -f "$cli_exe" ]; then
    echo "== one whole upgrade (ptz-upgrade.exe --port COM1 --no-switch)"
    # Three blocks, the last one short, so the padding is checked too.
    image=$work/image.bin
    head -c 10000 /dev/urandom >"$image"
    start_headsim --no-command --once --out "$work/received.bin"
    if (cd "$work" && wine_run "$run_limit" "$cli_exe" --port COM1 --no-switch --quiet image.bin); then
        # With --once the simulated head exits after writing what it received.
        waited=0
        while kill -0 "$headsim_pid" 2>/dev/null && [ "$waited" -lt $((start_limit * 10)) ]; do
            sleep 0.1
            waited=$((waited + 1))
        done
        stop_headsim
        padded=$(((10000 + 4095) / 4096 * 4096))
        { cat "$image"; head -c $((padded - 10000)) /dev/zero | tr '\0' '\377'; } >"$work/expected.bin"
        if cmp -s "$work/expected.bin" "$work/received.bin"; then
            echo "PASS the head received the image, padded with 0xFF to whole blocks"
        else
            echo "FAIL the head did not receive the image padded with 0xFF to whole blocks"
            failed=1
        fi
    else
        echo "FAIL ptz-upgrade.exe ended with status $?"
        failed=1
    fi
    stop_headsim
else
    echo "== ptz-upgrade.exe not built: whole-upgrade run skipped"
fi

if [ "$failed" -ne 0 ]; then
    echo "Wine tests FAILED; Wine's messages:" >&2
    grep -v 'wine32' "$work/wine.log" | tail -n 40 >&2 || true
    echo "ptz-headsim's messages:" >&2
    tail -n 40 "$work/headsim.log" >&2 || true
    exit 1
fi
echo "Wine tests passed"
