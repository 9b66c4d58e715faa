#!/usr/bin/env bash
# Runs PtzUpgrade.exe under Wine on a virtual X display, against ptz-headsim behind COM1, and
# operates it from outside with ui_driver.exe as an operator would: start-up state, choosing an
# image, the device dialog and the switch into upgrade mode, the connection check, a whole
# upgrade with one checksum error, the About box. Takes screenshots of the windows.
#
# Usage: run-ui-tests.sh WINDOWS_BUILD_DIR NATIVE_BUILD_DIR [--readme-screenshot]
#   Screenshots go to WINDOWS_BUILD_DIR/ui-screenshots/; --readme-screenshot also writes the
#   main window's to docs/screenshot-main.png.
# Makes a throw-away Wine prefix and X display and removes them again on exit. Every step has a
# time limit; the first step that fails ends the run with a non-zero status.
#
# Steps are groups of ui_driver.exe lines (see tests/wine/ui_driver.cpp), one `ui` call each:
# add a step by adding a call.
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ] || { [ $# -eq 3 ] && [ "$3" != --readme-screenshot ]; }; then
    echo "usage: $0 WINDOWS_BUILD_DIR NATIVE_BUILD_DIR [--readme-screenshot]" >&2
    exit 2
fi
windows_dir=$(realpath "$1")
native_dir=$(realpath "$2")
readme_screenshot=${3:+yes}
source_dir=$(realpath "$(dirname "$0")/../..")

app_exe=$windows_dir/src/app/PtzUpgrade.exe
driver_exe=$windows_dir/tests/wine/ui_driver.exe
headsim=$native_dir/tools/headsim/ptz-headsim
shim=$native_dir/tests/wine/libptz_modem_lines_shim.so
for needed in "$app_exe" "$driver_exe" "$headsim" "$shim"; do
    if [ ! -f "$needed" ]; then
        echo "run-ui-tests: $needed is missing; build the windows and native presets first" >&2
        exit 1
    fi
done
screenshots=$windows_dir/ui-screenshots
mkdir -p "$screenshots"

work=$(mktemp -d "${TMPDIR:-/tmp}/ptz-wine-ui.XXXXXX")
# shellcheck source=tests/wine/wine-env.sh
source "$(dirname "$0")/wine-env.sh"
wine_env_need_tools wine wineboot wineserver timeout Xvfb import iconv
wine_env_init
# UTF-8 between Wine and this script (paths, arguments); Wine's own dialogs in English.
export LC_ALL=C.UTF-8

# Time limits in seconds.
app_limit=300    # the whole life of PtzUpgrade.exe
step_limit=90    # one ui_driver.exe run; its own waits are shorter

xvfb_pid=
app_pid=
cleanup() {
    if [ -n "$app_pid" ]; then
        kill "$app_pid" 2>/dev/null || true
    fi
    wine_env_stop
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A path of this machine as Wine's programs see it (drive Z: is the root).
winpath() {
    local path=$1
    printf 'Z:%s' "${path//\//\\}"
}

fail() {
    echo "FAIL $*"
    echo "Wine's messages:" >&2
    tail -n 30 "$work/wine.log" >&2 || true
    echo "ptz-headsim's messages:" >&2
    tail -n 20 "$work/headsim.log" >&2 || true
    exit 1
}

# ui NAME: runs the ui_driver.exe lines read from standard input; the first that fails ends the
# run, with the driver's report.
step_count=0
ui() {
    local name=$1
    step_count=$((step_count + 1))
    local script=$work/step-$step_count.txt
    cat >"$script"
    if wine_run "$step_limit" "$driver_exe" "$(winpath "$script")" >"$work/driver.out"; then
        echo "PASS $name"
    else
        cat "$work/driver.out"
        fail "$name"
    fi
}

# screenshot NAME CAPTION: the window with this caption, from the X display, as NAME.png.
screenshot() {
    local name=$1 caption=$2
    ui "window \"$caption\" for the screenshot $name.png" <<EOF
window "$caption"
save-rect "$(winpath "$work/rect.txt")"
EOF
    local geometry
    geometry=$(tr -d '\r\n' <"$work/rect.txt")
    if ! timeout 30 import -display "$DISPLAY" -window root -crop "$geometry" +repage \
        "$screenshots/$name.png"; then
        fail "screenshot $name.png"
    fi
}

# A virtual X display of its own: the number is the first free one.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
waited=0
until [ -s "$work/display" ]; do
    if ! kill -0 "$xvfb_pid" 2>/dev/null || [ "$waited" -ge $((start_limit * 10)) ]; then
        echo "run-ui-tests: Xvfb did not start:" >&2
        cat "$work/xvfb.log" >&2
        exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
done
DISPLAY=:$(tr -d '\n' <"$work/display")
export DISPLAY

wine_boot_prefix
# Marlett draws the caption buttons; this Wine does not find its own copy. Only Marlett: with
# Wine's Tahoma, which has no Chinese, the captions would show boxes.
if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
fi
# Chinese texts need a CJK font in place of 宋体 (SimSun). Micro Hei Mono: smoothed at dialog
# sizes (Wine draws a font that forbids smoothing there, such as Zen Hei, in bare outlines that
# lose strokes), and Latin letters half as wide as Chinese ones, as in SimSun, so that texts wrap
# where they do on Windows. Windows are drawn on a Wine desktop of their own, with title bars,
# since Xvfb has no window manager.
{
    printf '\xff\xfe'
    sed 's/$/\r/' <<'EOF' | iconv -f UTF-8 -t UTF-16LE
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"SimSun"="WenQuanYi Micro Hei Mono"
"宋体"="WenQuanYi Micro Hei Mono"
"System"="WenQuanYi Micro Hei"

[HKEY_CURRENT_USER\Control Panel\Desktop]
"FontSmoothing"="2"
"FontSmoothingType"=dword:00000001

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1024x768"
EOF
} >"$work/ui.reg"
wine_run "$run_limit" regedit /S "$(winpath "$work/ui.reg")"

# The head the device dialog is set for below: not the dialog's defaults, so that each choice
# is seen to reach the line.
head_address=7
# It takes the second frame for damaged once, so that the resend is seen through the real
# message box, and writes the image it received. It reads at the line's pace, as a real head:
# the program takes no answer sooner than its frame can have crossed the wire.
received=$work/received.bin
start_headsim --address "$head_address" --protocol pelco-p --speed 9600 --log "$work/head.jsonl" \
    --bad-sum-at 1 --out "$received" --pace 115200
# COM12 stands for a USB adapter beyond the fixed list: the port list shows it after COM10.
wine_map_ports COM1 COM12
wine_restart_server

# Every write PtzUpgrade.exe makes to the pty is noted, so the writes per frame can be counted.
writes_log=$work/pty-writes.log
LD_PRELOAD=$shim PTZ_PTY_WRITE_LOG=$writes_log timeout --kill-after=5 "$app_limit" \
    wine "$app_exe" 2>>"$work/wine.log" &
app_pid=$!

# Three blocks, the last one short; a folder name in Chinese with a blank, so that the path is
# seen to pass the file dialog and the opening unchanged.
mkdir -p "$work/固件 v2"
image="$work/固件 v2/ptz-head.bin"
head -c 10000 /dev/urandom >"$image"
image_total=$((4107 * 3))

ui "start-up: COM1 open, COM12 listed after COM10, only the image choice available, progress hidden" <<'EOF'
window 云台升级软件 60000
list 1005 COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 COM10 COM12
selection 1005 0
text 1009 关闭串口
enabled 1002 yes
enabled 1011 no
enabled 1003 no
visible 1001 no
EOF
screenshot main-start 云台升级软件

ui "choose the image through the file dialog; the device dialog opens with its defaults" <<EOF
window 云台升级软件
click 1002
open-file Open "$(winpath "$image")" 20000
window 选择设备 10000
text 1021 1
list 1023 PELCO_P PELCO_D
selection 1023 1
list 1024 2400 4800 9600 19200
selection 1024 0
window 云台升级软件
text 1000 "$(winpath "$image")"
text 1015 $image_total
visible 1001 yes
EOF
screenshot device 选择设备

ui "device dialog: an address of 0 is refused and the dialog stays" <<'EOF'
window 选择设备
type 1021 0
click 1025
message 输入地址错误! 10000
answer
window 选择设备
text 1021 0
EOF

ui "device dialog: address $head_address, Pelco-P, 9600 bit/s, launch the switch" <<EOF
window 选择设备
type 1021 $head_address
select 1023 0
select 1024 2
click 1025
gone 20000
window 云台升级软件
enabled 1011 yes
enabled 1003 no
EOF

if grep '"event":"command"' "$work/head.jsonl" | grep '"accepted":true' |
    grep -q "\"address\":$head_address,.*\"baud\":9600"; then
    echo "PASS the head accepted the upgrade-mode command for address $head_address at 9600 bit/s"
else
    echo "the head's log:"
    cat "$work/head.jsonl"
    fail "the head did not accept the upgrade-mode command for address $head_address at 9600 bit/s"
fi

ui "connection check: the head answers, the start button becomes available" <<'EOF'
window 云台升级软件
click 1011
wait-text 1011 连接成功 10000
enabled 1011 no
enabled 1003 yes
EOF
screenshot main-connected 云台升级软件

ui "whole upgrade: a checksum error is answered and the block resent, then success" <<EOF
window 云台升级软件
click 1003
message 校验错误 120000
answer
message 更新成功! 240000
answer
window 云台升级软件
text 1013 $((image_total + 4107))
text 1015 $image_total
enabled 1003 no
enabled 1011 no
enabled 1002 yes
EOF
screenshot main-done 云台升级软件

# What the head wrote is the image, padded with 0xFF to whole blocks.
expected=$work/expected.bin
cp "$image" "$expected"
head -c $((image_total / 4107 * 4096 - $(stat -c %s "$image"))) /dev/zero | tr '\0' '\377' \
    >>"$expected"
if cmp -s "$expected" "$received"; then
    echo "PASS the head received the image whole, padded with 0xFF"
else
    fail "the image the head received differs from the one chosen"
fi
# Every frame the head received, the damaged one's resend included, carried its block's load
# address and sum: frames 0, 1, 1 again, 2.
expected_frames "$image" | sed '2p' >"$work/frames.expected"
logged_frames "$work/head.jsonl" >"$work/frames.logged"
if cmp -s "$work/frames.expected" "$work/frames.logged"; then
    echo "PASS every frame the head received carried its block's address and sum"
else
    diff "$work/frames.expected" "$work/frames.logged" || true
    fail "a frame the head received was not the frame of its block"
fi
# The command and the connection check are one write each; the four frames took 4 writes each.
frame_writes=$(($(wc -l <"$writes_log") - 2))
if [ "$frame_writes" -le 16 ] && [ "$(head -n 2 "$writes_log" | tr '\n' ' ')" = "8 2 " ]; then
    echo "PASS the frames went out in $frame_writes writes (at most 4 a frame)"
else
    echo "writes to the port:" $(tr '\n' ' ' <"$writes_log")
    fail "the frames took more than 4 writes each"
fi
# A figure, never a check: the last frame followed an accept at once, so the time between the
# head's last two frames is the 20 ms pause, the frame's 356.5 ms on the wire (the head reads at
# the line's pace) and what the program needs beyond them.
frame_times=$(grep '"event":"frame"' "$work/head.jsonl" | sed -n 's/.*"t_ms":\([0-9]*\).*/\1/p' | tail -n 2)
if [ "$(wc -l <<<"$frame_times")" -eq 2 ]; then
    frame_ms=$(($(tail -n 1 <<<"$frame_times") - $(head -n 1 <<<"$frame_times") - 20 - 357))
    echo "FIGURE Win32 backend under Wine: about $frame_ms ms of host time per frame beyond" \
        "the 20 ms pause and the frame's 356.5 ms on the wire at 115200 bit/s"
fi

ui "About box from the system menu" <<'EOF'
window 云台升级软件
syscommand 16
window "关于 Kestrom" 10000
EOF
screenshot about "关于 Kestrom"
ui "About box closes with its OK button" <<'EOF'
window "关于 Kestrom"
click 1
gone
EOF

# The same head behind a real ser2net: the port typed as rfc2217://127.0.0.1:PORT, then the
# switch, the connection check and a whole upgrade through the network. COM1 is closed before
# its head goes away: otherwise a loaded machine may let the window see the port vanish first,
# and its 串口已断开 message would hold the click.
ui "COM1 closes before its head goes away" <<EOF
window 云台升级软件
click 1009
wait-text 1009 打开串口 10000
EOF
stop_headsim
net_received=$work/received-net.bin
start_headsim --address "$head_address" --protocol pelco-p --speed 9600 \
    --log "$work/head-net.jsonl" --out "$net_received" --pace 115200
start_ser2net
net_port="rfc2217://127.0.0.1:$ser2net_port"

# Typed key by key, as an operator does: the field scrolls, so the whole name is taken (a field
# that stopped at its visible width would keep only its first 15 characters or so).
ui "a network port typed key by key into the port field is taken whole" <<EOF
window 云台升级软件
keys 1005 $net_port
text 1005 $net_port
EOF
screenshot main-network-port 云台升级软件
ui "the typed network port opens" <<EOF
window 云台升级软件
click 1009
wait-text 1009 关闭串口 20000
enabled 1002 yes
EOF

ui "through ser2net: image, device dialog for address $head_address at 9600 bit/s, switch" <<EOF
window 云台升级软件
click 1002
open-file Open "$(winpath "$image")" 20000
window 选择设备 10000
type 1021 $head_address
select 1023 0
select 1024 2
click 1025
gone 30000
window 云台升级软件
enabled 1011 yes
EOF

if grep '"event":"command"' "$work/head-net.jsonl" | grep '"accepted":true' |
    grep -q "\"address\":$head_address,.*\"baud\":9600"; then
    echo "PASS through ser2net the head accepted the upgrade-mode command at 9600 bit/s"
else
    cat "$work/head-net.jsonl"
    fail "through ser2net the head did not accept the upgrade-mode command at 9600 bit/s"
fi

ui "through ser2net: connection check and a whole upgrade" <<EOF
window 云台升级软件
click 1011
enabled 1003 yes 20000
text 1011 连接成功
click 1003
message 更新成功! 240000
answer
window 云台升级软件
enabled 1003 no
EOF

net_frames=$(grep '"event":"frame"' "$work/head-net.jsonl" | grep -c '"baud":115200' || true)
if cmp -s "$expected" "$net_received" && [ "$net_frames" -eq 3 ]; then
    echo "PASS through ser2net the head received the image whole, every frame at 115200 bit/s"
else
    fail "through ser2net: $net_frames frame(s) at 115200 bit/s, image $(cmp -s "$expected" \
        "$net_received" && echo whole || echo different)"
fi

ui "closing the main window ends the program" <<'EOF'
window 云台升级软件
close
gone 20000
EOF
waited=0
while kill -0 "$app_pid" 2>/dev/null && [ "$waited" -lt $((start_limit * 10)) ]; do
    sleep 0.1
    waited=$((waited + 1))
done
if kill -0 "$app_pid" 2>/dev/null; then
    fail "PtzUpgrade.exe did not end within $start_limit s of its window closing"
fi
app_status=0
wait "$app_pid" || app_status=$?
app_pid=
if [ "$app_status" -ne 0 ]; then
    fail "PtzUpgrade.exe ended with status $app_status"
fi
echo "PASS PtzUpgrade.exe ended with status 0"
# The head behind ser2net is done with: the runs below start heads of their own.
stop_ser2net
stop_headsim

# ---- The window program again, on a line paced at 115200 bit/s: a whole upgrade of 32 frames
# timed by the head, on an idle machine and beside a CPU hog (figures, never checks), then an
# adapter pulled while the port is open and idle (a check).

# start_app: PtzUpgrade.exe under Wine.
start_app() {
    LD_PRELOAD=$shim timeout --kill-after=5 "$app_limit" wine "$app_exe" 2>>"$work/wine.log" &
    app_pid=$!
}
# end_app: closes the window and waits for the program to end.
end_app() {
    ui "closing the window ends the program" <<'EOF'
window 云台升级软件
close
gone 20000
EOF
    wait "$app_pid" || true
    app_pid=
}

pace_image=$work/pace.bin
head -c $((32 * 4096)) /dev/urandom >"$pace_image"
# A real head has a processor of its own: the simulated one runs above the hog (where the
# system allows it), so that the figure is the window program's, not the simulator's.
real_headsim=$headsim
headsim=$work/headsim-above-the-hog
printf '#!/bin/sh\nexec nice -n -10 "%s" "$@"\n' "$real_headsim" >"$headsim"
chmod +x "$headsim"
for load in idle busy; do
    start_headsim --pace 115200 --log "$work/pace-$load.jsonl"
    hogs=()
    if [ "$load" = busy ]; then
        for _ in $(seq "$(nproc)"); do
            (while :; do :; done) &
            hogs+=($!)
        done
    fi
    start_app
    ui "paced line, $load machine: a whole upgrade of 32 frames" <<EOF
window 云台升级软件 60000
click 1002
open-file Open "$(winpath "$pace_image")" 20000
window 选择设备 10000
click 1025
gone 20000
window 云台升级软件
click 1011
wait-text 1011 连接成功 10000
click 1003
message 更新成功! 120000
answer
EOF
    if [ "${#hogs[@]}" -gt 0 ]; then
        kill "${hogs[@]}" 2>/dev/null || true
        wait "${hogs[@]}" 2>/dev/null || true
    fi
    end_app
    stop_headsim
    frame_ms=$(grep '"event":"frame"' "$work/pace-$load.jsonl" | sed -n 's/.*"t_ms":\([0-9]*\).*/\1/p')
    # The first frame's own wire time is before its event; 31 pauses of 20 ms follow accepts.
    awk -v first="$(head -n 1 <<<"$frame_ms")" -v last="$(tail -n 1 <<<"$frame_ms")" \
        -v load="$load" 'BEGIN {
        took = last - first + 356.5; due = 32 * 356.5 + 31 * 20
        printf "FIGURE Win32 backend under Wine, %s machine, 32 frames paced at 115200 bit/s: " \
            "%.0f ms for %.0f ms of wire time and pauses, %.3f (target: at most 1.02)\n",
            load, took, due, took / due }'
done

headsim=$real_headsim

start_headsim --no-command --pace 115200
start_app
ui "an idle open port" <<'EOF'
window 云台升级软件 60000
text 1009 关闭串口
EOF
stop_headsim
ui "the adapter pulled while the port is open and idle: noticed within seconds, port closed" <<'EOF'
window 云台升级软件
message "串口已断开! 请检查串口后重新打开." 5000
answer
text 1009 打开串口
enabled 1002 no
EOF
end_app

if [ -n "$readme_screenshot" ]; then
    mkdir -p "$source_dir/docs"
    cp "$screenshots/main-done.png" "$source_dir/docs/screenshot-main.png"
    echo "wrote docs/screenshot-main.png"
fi
echo "Screenshots: $screenshots"
echo "Window program tests passed"
