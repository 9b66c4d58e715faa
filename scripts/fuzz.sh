#!/usr/bin/env bash
# Builds the fuzz targets (the fuzz preset: clang, libFuzzer, AddressSanitizer and UBSan) and
# runs them.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]   each target SECONDS long (default 60); new inputs
#                                           that reach new code are merged into
#                                           tests/fuzz/corpus/<target>/ (commit them)
#   scripts/fuzz.sh --smoke [TARGET...]     a fixed number of runs of each target from its
#                                           committed corpus, for the test suite; changes nothing
#
# A failing input is kept as build/fuzz/artifacts/<target>-crash-* (or leak-, timeout-);
# replay it with build/fuzz/tests/fuzz/<target> FILE (PTZ_FUZZ_TRACE=1 for the window target).
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(hex_text_fuzz head_machine_fuzz upgrade_session_fuzz cli_options_fuzz
    window_answers_fuzz telnet_client_fuzz)
all_targets+=(csv_cell_fuzz plan_parser_fuzz resume_report_fuzz)

smoke=0
seconds=60
if [ "${1:-}" = "--smoke" ]; then
    smoke=1
    shift
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
    targets=("${all_targets[@]}")
fi

# Runs of each target in the smoke run: the window target drives a real window per input and
# manages some two to five hundred inputs a second; the others thousands.
smoke_runs() {
    case "$1" in
        hex_text_fuzz) echo 50000 ;;
        window_answers_fuzz) echo 1000 ;;
        *) echo 8000 ;;
    esac
}

# The window target starts a transfer per input: keep inputs short. Its own waits end in 10 s.
# Its window and workers allocate on threads of their own, so an input's mallocs never match
# its frees and a leak search would scan the heap after every input: leaks are looked for at
# the end of the run instead.
target_options() {
    case "$1" in
        window_answers_fuzz) options=(-max_len=96 -timeout=60 -detect_leaks=0) ;;
        *) options=(-max_len=512 -timeout=20) ;;
    esac
}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2 --target "${targets[@]}"

bin=build/fuzz/tests/fuzz
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
failed=()
for target in "${targets[@]}"; do
    corpus=tests/fuzz/corpus/$target
    scratch=build/fuzz/corpus/$target
    rm -rf "$scratch"
    mkdir -p "$scratch" "$corpus"
    target_options "$target"
    set -- "${options[@]}" -artifact_prefix="$artifacts/$target-" -print_final_stats=1
    if [ "$smoke" -eq 1 ]; then
        set -- "$@" -runs="$(smoke_runs "$target")" -seed=1
    else
        set -- "$@" -max_total_time="$seconds"
    fi
    log=build/fuzz/$target.log
    printf '%-22s ' "$target"
    # New inputs go to the scratch folder; the committed corpus is only read.
    if "$bin/$target" "$@" "$scratch" "$corpus" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
        echo "ok: ${runs:-?} runs, ${rate:-?} per second"
    else
        echo "FAILED (log: $log)"
        grep -E '^(==[0-9]+==ERROR|invariant broken|hang:|SUMMARY|artifact_prefix)' "$log" \
            | head -5 || true
        failed+=("$target")
        continue
    fi
    if [ "$smoke" -eq 0 ]; then
        before=$(find "$corpus" -type f | wc -l)
        "$bin/$target" "${options[@]}" -merge=1 "$corpus" "$scratch" >>"$log" 2>&1
        after=$(find "$corpus" -type f | wc -l)
        echo "                       corpus: $before -> $after inputs ($corpus)"
    fi
done

if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzz: failed: ${failed[*]}" >&2
    exit 1
fi
