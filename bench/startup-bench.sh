#!/usr/bin/env bash
# Start-up time of the installer against an empty Qt window of the same size: from the moment the
# process is started to its first exposed and painted frame ("UI: window visible"), offscreen and
# under Xvfb, both programs under the same display, runs alternating. Under Xvfb also the
# self-contained file (scripts/package): on a first run (nothing unpacked yet) and on later runs.
#
#   bench/startup-bench.sh [BUILD_DIR] [RUNS] [RUN_FILE]
#       (defaults: build, 15, dist/quillmarsh-installer-x86_64.run when it is there)
#
# Needs quillmarsh-installer and quillmarsh-bare-window built in BUILD_DIR, and xvfb-run.
set -euo pipefail

build=$(realpath "${1:-build}")
runs=${2:-15}
runfile=${3:-$(dirname "$0")/../dist/quillmarsh-installer-x86_64.run}
[[ -f $runfile ]] && runfile=$(realpath "$runfile") || runfile=""
installer="$build/bin/quillmarsh-installer"
bare="$build/bin/quillmarsh-bare-window"
export TZ=UTC # the setup log writes local time; UTC makes it the same clock as ours

# One run: prints the milliseconds from start to the first visible frame. Kinds: installer,
# bare, cold (the .run file unpacking into a fresh cache folder), warm (the .run file, unpacked
# into $warm_cache before).
warm_cache=$(mktemp -d)
trap 'rm -rf "$warm_cache"' EXIT
measure() {
    local kind=$1 work runtime log t0 pid shown= program cache
    work=$(mktemp -d)
    cache=$work/cache
    case $kind in
    installer) program=$installer ;;
    bare) program=$bare ;;
    cold) program=$runfile ;;
    warm) program=$runfile cache=$warm_cache ;;
    esac
    # The session's runtime folder is a tmpfs, as in a desktop session (on disk, the
    # single-instance lock file's fdatasync alone can take 20 ms on a busy machine).
    runtime=$(mktemp -d -p /dev/shm)
    log="$work/state/Logs/quillmarsh-installer.log"
    t0=$EPOCHREALTIME
    # Analytics posts go to a closed local port, never off the machine.
    HOME="$work" XDG_STATE_HOME="$work/state" XDG_CACHE_HOME="$cache" \
        XDG_RUNTIME_DIR="$runtime" LANG=C.UTF-8 \
        http_proxy=http://127.0.0.1:9 https_proxy=http://127.0.0.1:9 no_proxy= NO_PROXY= \
        "$program" >"$work/out" 2>/dev/null &
    pid=$!
    for _ in $(seq 1000); do # 10 s at most
        if [[ $kind != bare ]]; then
            shown=$(grep -m1 "UI: window visible" "$log" 2>/dev/null | cut -c1-23) || true
            [[ -n $shown ]] && shown=$(date -d "$shown" +%s%3N)
        else
            shown=$(grep -m1 "UI: window visible" "$work/out" 2>/dev/null | cut -d' ' -f4) || true
        fi
        [[ -n $shown ]] && break
        sleep 0.01
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -rf "$work" "$runtime"
    [[ -n $shown ]] || { echo "$kind never showed its window" >&2; exit 1; }
    echo $((shown - ${t0/./} / 1000))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One display: alternating runs after one unmeasured warm-up of each; prints a table row.
row() {
    local label=$1 ours=() base=()
    measure installer >/dev/null
    measure bare >/dev/null
    for _ in $(seq "$runs"); do
        ours+=("$(measure installer)")
        base+=("$(measure bare)")
    done
    local m1 m2
    m1=$(printf '%s\n' "${ours[@]}" | median)
    m2=$(printf '%s\n' "${base[@]}" | median)
    printf '| %s | %s ms | %s ms | %.2f |\n' "$label" "$m1" "$m2" "$(echo "$m1 / $m2" | bc -l)"
}

# The .run file first and later, beside the installed build and the bare window, alternating.
packaged_row() {
    local kinds=(installer warm cold bare) kind
    declare -A times=()
    measure warm >/dev/null # unpacks into $warm_cache
    for kind in "${kinds[@]}"; do measure "$kind" >/dev/null; done
    for _ in $(seq "$runs"); do
        for kind in "${kinds[@]}"; do times[$kind]+="$(measure "$kind") "; done
    done
    for kind in "${kinds[@]}"; do
        times[$kind]=$(printf '%s\n' ${times[$kind]} | median)
    done
    printf '| %s | %s ms | %s ms (%.2f) | %s ms | %s ms |\n' "$1" "${times[installer]}" \
        "${times[warm]}" "$(echo "${times[warm]} / ${times[installer]}" | bc -l)" \
        "${times[cold]}" "${times[bare]}"
}

if [[ -n ${QM_BENCH_XVFB:-} ]]; then
    row "xcb (Xvfb)"
    if [[ -n $runfile ]]; then
        echo
        echo "The self-contained file ($(basename "$runfile")), medians of $runs:"
        echo
        echo "| Display | Installed build | .run, later runs (ratio) | .run, first run | Bare window |"
        echo "|---|---|---|---|---|"
        packaged_row "xcb (Xvfb)"
    fi
    exit 0
fi

for f in "$installer" "$bare"; do
    [[ -x $f ]] || { echo "missing $f: build quillmarsh-installer and quillmarsh_bare_window" >&2; exit 1; }
done
echo "Median of $runs runs each, process start to the first visible frame:"
echo
echo "| Display | Installer | Bare window | Ratio |"
echo "|---|---|---|---|"
QT_QPA_PLATFORM=offscreen row "offscreen"
QT_QPA_PLATFORM=xcb QM_BENCH_XVFB=1 xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$build" "$runs" "$runfile"
