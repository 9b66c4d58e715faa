# shellcheck shell=bash
# shellcheck disable=SC2154  # work, headsim and shim are set by the sourcing script
# Shared by the Wine test scripts (sourced, not run): a throw-away Wine prefix, ptz-headsim on a
# pty mapped to COM ports, and the modem-line shim without which Wine cannot wait on a pty.
#
# The sourcing script sets `work` (a fresh directory it removes at the end), `headsim` (the
# ptz-headsim program) and `shim` (libptz_modem_lines_shim.so), then calls wine_env_init.

# Time limits in seconds, so that nothing can hang a run.
boot_limit=180
run_limit=120
start_limit=10

wine_env_name=${0##*/}
wine_env_name=${wine_env_name%.sh}
headsim_pid=
ser2net_pid=
ser2net_port=

wine_env_init() {
    export WINEPREFIX=$work/prefix
    export WINEDEBUG=-all
    head_link=$work/head-link
}

# Fails with a message when a program the run needs is not installed.
wine_env_need_tools() {
    local tool
    for tool in "$@"; do
        if ! command -v "$tool" >/dev/null; then
            echo "$wine_env_name: '$tool' is not installed (scripts/install-deps.sh installs it)" >&2
            exit 1
        fi
    done
}

# Waits up to start_limit seconds for ptz-headsim to end by itself (--once: it ends once it has
# written what it received).
wait_headsim_exit() {
    local waited=0
    while kill -0 "$headsim_pid" 2>/dev/null && [ "$waited" -lt $((start_limit * 10)) ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
}

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

# Whether something listens on the loopback TCP port $1, from /proc/net/tcp (without connecting:
# a connection would make ser2net open its device).
loopback_port_listens() {
    local hex
    hex=$(printf '%04X' "$1")
    awk -v port="$hex" 'FNR > 1 && $4 == "0A" && $2 ~ (":" port "$") { found = 1 } END { exit !found }' \
        /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# Starts a real ser2net in front of the simulated head: Telnet with RFC 2217 on a free loopback
# port (set in ser2net_port), from a configuration file of its own.
start_ser2net() {
    if [ ! -x /usr/sbin/ser2net ]; then
        echo "$wine_env_name: ser2net is not installed (scripts/install-deps.sh installs it)" >&2
        exit 1
    fi
    ser2net_port=$((20000 + RANDOM % 30000))
    while loopback_port_listens "$ser2net_port"; do
        ser2net_port=$((20000 + RANDOM % 30000))
    done
    cat >"$work/ser2net.yaml" <<SER2NET
%YAML 1.1
---
connection: &head
    accepter: telnet(rfc2217),tcp,127.0.0.1,$ser2net_port
    options:
      kickolduser: true
      chardelay: false
    connector: serialdev,$head_link,38400n81,local
SER2NET
    /usr/sbin/ser2net -n -u -c "$work/ser2net.yaml" -P "$work/ser2net.pid" \
        >>"$work/ser2net.log" 2>&1 &
    ser2net_pid=$!
    local waited=0
    until loopback_port_listens "$ser2net_port"; do
        if ! kill -0 "$ser2net_pid" 2>/dev/null || [ "$waited" -ge $((start_limit * 10)) ]; then
            echo "$wine_env_name: ser2net did not start:" >&2
            cat "$work/ser2net.log" >&2
            exit 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

stop_ser2net() {
    if [ -n "$ser2net_pid" ]; then
        kill "$ser2net_pid" 2>/dev/null || true
        wait "$ser2net_pid" 2>/dev/null || true
        ser2net_pid=
    fi
}

# Stops the simulated head, the serial server and every Wine process of the prefix.
wine_env_stop() {
    stop_headsim
    stop_ser2net
    timeout 20 wineserver -k >/dev/null 2>&1 || true
    timeout 20 wineserver -w >/dev/null 2>&1 || true
}

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
            echo "$wine_env_name: ptz-headsim did not start:" >&2
            cat "$work/headsim.log" >&2
            exit 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

# Makes the prefix.
wine_boot_prefix() {
    echo "Wine prefix: $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # No .NET or HTML engine: they would be fetched from the network, and the programs need neither.
    if ! WINEDLLOVERRIDES="mscoree,mshtml=" timeout "$boot_limit" wineboot -i >>"$work/wine.log" 2>&1 ||
        ! timeout "$boot_limit" wineserver -w; then
        echo "$wine_env_name: wineboot failed:" >&2
        cat "$work/wine.log" >&2
        exit 1
    fi
}

# Maps each named port (COM1, COM10, ...) to the simulated head's pty.
wine_map_ports() {
    local port
    for port in "$@"; do
        wine_run "$run_limit" reg add 'HKLM\Software\Wine\Ports' /v "$port" /t REG_SZ \
            /d "$head_link" /f >/dev/null
    done
}

# Wine makes dosdevices/com1 from the registry when it starts. The new server stays up until the
# end, and its helper processes are started here, so that none of them holds the script's
# output open once it has finished.
wine_restart_server() {
    timeout 20 wineserver -k >/dev/null 2>&1 || true
    timeout 20 wineserver -w || true
    LD_PRELOAD=$shim wineserver -p >/dev/null 2>&1
    wine_run "$run_limit" cmd /c exit >/dev/null
}

# expected_frames IMAGE: for each block of the image, the load address and 24-bit sum its frame
# must carry, one "0x00020000 0x01a2b3" line each, worked out here from the frame's layout.
expected_frames() {
    local size
    size=$(stat -c %s "$1")
    od -An -v -tu1 "$1" | awk -v size="$size" '
        { for (i = 1; i <= NF; i++) { data[n++] = $i } }
        END {
            for (offset = 0; offset < size || (size == 0 && offset == 0); offset += 4096) {
                address = 131072 + offset
                last = offset + 4096 >= size ? 1 : 0
                sum = last + int(address / 16777216) % 256 + int(address / 65536) % 256 \
                    + int(address / 256) % 256 + address % 256 + 16
                for (i = 0; i < 4096; i++) {
                    sum += offset + i < size ? data[offset + i] : 255
                }
                printf "0x%08x 0x%06x\n", address, sum % 16777216
                if (size == 0) { break }
            }
        }'
}

# logged_frames LOG: the load address and sum of every frame the simulated head received, in
# order, resends included, as expected_frames prints them.
logged_frames() {
    grep '"event":"frame"' "$1" |
        sed -n 's/.*"address":"\(0x[0-9a-f]*\)".*"sum":"\(0x[0-9a-f]*\)".*/\1 \2/p'
}
