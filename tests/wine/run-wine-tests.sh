#!/usr/bin/env bash
# Runs the Windows programs under Wine against ptz-headsim: the serial link checks
# (wine_link_check.exe) and, when they are built, one whole upgrade with ptz-upgrade.exe and the
# window program's run (run-ui-tests.sh).
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
work=$(mktemp -d "${TMPDIR:-/tmp}/ptz-wine.XXXXXX")
# shellcheck source=tests/wine/wine-env.sh
source "$(dirname "$0")/wine-env.sh"
wine_env_need_tools wine wineboot wineserver timeout
wine_env_init

cleanup() {
    wine_env_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wine_boot_prefix
start_headsim --no-command
# COM10 names the same head: it opens only through the device-namespace prefix.
wine_map_ports COM1 COM10
wine_restart_server

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
        wait_headsim_exit
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

    echo "== a one-head plan with a report (ptz-upgrade.exe --plan): the image's SHA-256 by bcrypt.dll"
    printf 'port,address,protocol,speed,image,label\r\nCOM1,1,pelco-d,2400,image.bin,Gate 1\r\n' \
        >"$work/plan.csv"
    rm -f "$work/report.csv"
    start_headsim --no-command --once
    if (cd "$work" && wine_run "$run_limit" "$cli_exe" --plan plan.csv --report report.csv \
        --no-switch --quiet); then
        sha=$(sha256sum "$image" | cut -d' ' -f1)
        line=$(sed -n 2p "$work/report.csv")
        if [[ "$line" == "2,Gate 1,COM1,1,image.bin,$sha,"*",upgraded,3,0" ]]; then
            echo "PASS the report names the head upgraded with the image's SHA-256"
        else
            echo "FAIL the report's line is '$line' (image SHA-256 $sha)"
            failed=1
        fi
    else
        echo "FAIL ptz-upgrade.exe --plan ended with status $?"
        failed=1
    fi
    stop_headsim
else
    echo "== ptz-upgrade.exe not built: whole-upgrade run skipped"
fi

if [ -f "$cli_exe" ]; then
    echo "== one whole upgrade through ser2net (ptz-upgrade.exe --port rfc2217://127.0.0.1:PORT)"
    # The switch at 9600 bit/s, set over the network on a device that starts at 38400.
    image=$work/image.bin
    head -c 10000 /dev/urandom >"$image"
    start_headsim --speed 9600 --once --out "$work/received-net.bin" --log "$work/head-net.jsonl"
    start_ser2net
    if (cd "$work" && wine_run "$run_limit" "$cli_exe" --port "rfc2217://127.0.0.1:$ser2net_port" \
        --speed 9600 --ack-delay 0 --quiet image.bin); then
        wait_headsim_exit
        stop_headsim
        padded=$(((10000 + 4095) / 4096 * 4096))
        { cat "$image"; head -c $((padded - 10000)) /dev/zero | tr '\0' '\377'; } >"$work/expected.bin"
        commands=$(grep '"event":"command"' "$work/head-net.jsonl" | grep -c '"baud":9600' || true)
        frames=$(grep '"event":"frame"' "$work/head-net.jsonl" | grep -c '"baud":115200' || true)
        if cmp -s "$work/expected.bin" "$work/received-net.bin" && [ "$commands" -eq 1 ] &&
            [ "$frames" -eq 3 ]; then
            echo "PASS through ser2net: the command at 9600 bit/s, 3 frames at 115200, the image whole"
        else
            echo "FAIL through ser2net: $commands command(s) at 9600, $frames frame(s) at 115200"
            failed=1
        fi
    else
        echo "FAIL ptz-upgrade.exe through ser2net ended with status $?"
        cat "$work/ser2net.log" >&2 || true
        failed=1
    fi
    stop_ser2net
    stop_headsim
fi

ui_exe=$windows_dir/src/app/PtzUpgrade.exe
if [ -f "$ui_exe" ]; then
    echo "== the window program (run-ui-tests.sh)"
    if ! "$(dirname "$0")/run-ui-tests.sh" "$windows_dir" "$native_dir"; then
        failed=1
    fi
else
    echo "== PtzUpgrade.exe not built: window program run skipped"
fi

if [ "$failed" -ne 0 ]; then
    echo "Wine tests FAILED; Wine's messages:" >&2
    grep -v 'wine32' "$work/wine.log" | tail -n 40 >&2 || true
    echo "ptz-headsim's messages:" >&2
    tail -n 40 "$work/headsim.log" >&2 || true
    exit 1
fi
echo "Wine tests passed"
