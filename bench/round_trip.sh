#!/usr/bin/env bash
# The whole system on this machine, measured: velmora_server plays a click on every output
# channel once a second; one engine host plays two server outputs on its device and sends what the
# device captures back into two server inputs (examples/loopback.ini: the virtual loopback device;
# --hal: examples/hal.ini, a simulated interface whose inputs hear its outputs). The server reports
# where each click comes back.
#
# For each client latency it prints the round trip (fewest/median/most frames) next to the
# configured latency, the CPU time each process used per second of audio, and the engine's
# underruns, overruns and dropped blocks, all counted after a 3-second start-up.
#
# Usage: bench/round_trip.sh [--hal] [--seconds N (default 60)] [latency blocks ... (default 2 6)]
# Uses build/ (built when missing), a free UDP port and a client id of its own.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"
cd "$VELMORA_ROOT"

base_config="examples/loopback.ini"
device_name="virtual loopback"
seconds=60
latencies=()
while [ $# -gt 0 ]; do
    case "$1" in
    --hal) base_config="examples/hal.ini" device_name="simulated HAL interface" ;;
    --seconds)
        seconds="${2:-}"
        shift
        ;;
    -h | --help)
        sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *) latencies+=("$1") ;;
    esac
    shift
done
[ ${#latencies[@]} -eq 0 ] && latencies=(2 6)
for value in "$seconds" "${latencies[@]}"; do
    if ! [[ "$value" =~ ^[1-9][0-9]{0,3}$ ]]; then
        echo "round_trip: '$value' is not a whole number from 1 to 9999" >&2
        exit 2
    fi
done

configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2 || exit 1
BIN="$VELMORA_ROOT/build/bin"
RATE=48000
FRAMES=128
WARMUP=3
TICKS="$(getconf CLK_TCK)"
WORK="$(mktemp -d)"
server_pid="" host_pid=""

cleanup() {
    for pid in "$host_pid" "$server_pid"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A UDP port nobody on this machine has bound.
free_udp_port() {
    local port
    for _ in $(seq 200); do
        port=$((20000 + RANDOM % 40000))
        if ! grep -qi ":$(printf '%04X' "$port") " /proc/net/udp /proc/net/udp6 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

# CPU ticks (user + system) a process has used so far.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null; }

# A u32 of the engine's statistics block at a byte offset.
stat_u32() { od -An -t u4 -j "$2" -N 4 "$1" 2>/dev/null | tr -d ' '; }

wait_for() { # wait_for <tries of 0.1 s> <command...>
    local tries="$1"
    shift
    for _ in $(seq "$tries"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

run_one() {
    local latency="$1"
    local port client socket block
    port="$(free_udp_port)" || { echo "round_trip: no free UDP port" >&2; return 1; }
    client=$((40000 + RANDOM % 20000))
    socket="/tmp/velmora-engine-host_${client}.sock"
    block="/dev/shm/VelmoraEngineStats_${client}_v6"
    sed "s/^listen_port = .*/listen_port = $port/" examples/Velmora.ini >"$WORK/server.ini"
    sed -e "s/^server_port = .*/server_port = $port/" -e "s/^client_id = .*/client_id = $client/" \
        -e "s/^client_latency_blocks = .*/client_latency_blocks = $latency/" "$base_config" >"$WORK/client.ini"

    "$BIN/velmora_server" --config "$WORK/server.ini" --rate "$RATE" --frames "$FRAMES" --play click \
        >"$WORK/server.log" 2>&1 &
    server_pid=$!
    if ! wait_for 50 grep -q "running at" "$WORK/server.log"; then
        cat "$WORK/server.log" >&2
        echo "round_trip: velmora_server did not start" >&2
        return 1
    fi
    "$BIN/velmora_macos_engine_host" --config "$WORK/client.ini" --client-id "$client" --parent-pid $$ \
        >"$WORK/host.log" 2>&1 &
    host_pid=$!
    if ! wait_for 50 test -S "$socket"; then
        cat "$WORK/host.log" >&2
        echo "round_trip: the engine host did not start" >&2
        return 1
    fi

    sleep "$WARMUP"
    local clicks_before server_cpu0 host_cpu0 under0 over0 drops0
    clicks_before="$(grep -c "click returned on input " "$WORK/server.log")"
    server_cpu0="$(cpu_ticks "$server_pid")"
    host_cpu0="$(cpu_ticks "$host_pid")"
    under0="$(stat_u32 "$block" 236)" over0="$(stat_u32 "$block" 240)"
    drops0=$(($(stat_u32 "$block" 244) + $(stat_u32 "$block" 248)))

    local left="$seconds"
    while [ "$left" -gt 0 ]; do
        printf '\r   latency %s: %4s s left ' "$latency" "$left" >&2
        sleep 1
        left=$((left - 1))
    done
    printf '\r%40s\r' "" >&2

    local server_cpu1 host_cpu1 under1 over1 drops1 status
    server_cpu1="$(cpu_ticks "$server_pid")"
    host_cpu1="$(cpu_ticks "$host_pid")"
    under1="$(stat_u32 "$block" 236)" over1="$(stat_u32 "$block" 240)"
    drops1=$(($(stat_u32 "$block" 244) + $(stat_u32 "$block" 248)))
    status="$("$BIN/velmora_macos_engine_host" --send-command "$socket" GET_STATE 2>/dev/null)"

    "$BIN/velmora_macos_engine_host" --send-command "$socket" STOP >/dev/null 2>&1
    wait "$host_pid" 2>/dev/null
    host_pid=""
    kill -INT "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=""

    # Each click returns on both of the client's inputs: the first input reported stands for both.
    grep "click returned on input " "$WORK/server.log" | tail -n +"$((clicks_before + 1))" >"$WORK/returns"
    local input
    input="$(head -n 1 "$WORK/returns" | sed -n 's/.*on input \([0-9]*\) .*/\1/p')"
    grep "on input ${input:-0} " "$WORK/returns" | sed -n 's/.* after \([0-9]*\) frames.*/\1/p' |
        sort -n >"$WORK/trips"
    local count fewest median most
    count="$(wc -l <"$WORK/trips")"
    if [ "$count" -eq 0 ]; then
        echo "round_trip: latency $latency: no click came back (engine state: ${status:-none})" >&2
        return 1
    fi
    fewest="$(head -n 1 "$WORK/trips")"
    most="$(tail -n 1 "$WORK/trips")"
    median="$(sed -n "$(((count + 1) / 2))p" "$WORK/trips")"
    awk -v L="$latency" -v F="$FRAMES" -v R="$RATE" -v n="$count" -v lo="$fewest" -v med="$median" \
        -v hi="$most" -v s="$seconds" -v t="$TICKS" -v sc=$((server_cpu1 - server_cpu0)) \
        -v hc=$((host_cpu1 - host_cpu0)) -v u=$((under1 - under0)) -v o=$((over1 - over0)) \
        -v d=$((drops1 - drops0)) 'BEGIN {
        ms = 1000 / R
        printf "%7d %9d (%5.1f ms) %6d %6d (%5.1f ms) %6d (%5.1f ms) %6d (%5.1f ms) %9.1f %9.1f %6d %6d %6d\n",
            L, L * F, L * F * ms, n, lo, lo * ms, med, med * ms, hi, hi * ms,
            sc * 1000 / t / s, hc * 1000 / t / s, u, o, d
    }'
}

echo "Round trip at $RATE Hz / $FRAMES frames through the $device_name, $seconds s per latency"
echo "(server output -> engine -> device -> engine -> server input; CPU in ms per second of audio)"
echo
printf '%7s %20s %6s %17s %17s %17s %9s %9s %6s %6s %6s\n' "latency" "configured" "clicks" "fewest" \
    "median" "most" "server" "engine" "under" "over" "drops"
failed=0
for latency in "${latencies[@]}"; do
    run_one "$latency" || failed=1
done
exit "$failed"
