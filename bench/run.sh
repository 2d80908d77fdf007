#!/usr/bin/env bash
# Times tarvik-convert as whole processes, with hyperfine:
#  1. one conversion, against srec_cat doing the same read and write of the same
#     file, and against a Qt Core program that only opens and reads it;
#  2. 1,000 files in one process with --output-dir: -j 1, the default and other
#     -j values, side by side with the floor of a sequential durable save
#     (savefloor.c: read, temporary file, fdatasync, rename, one file after another)
#     and with that floor split over four processes; each into an empty folder and
#     over the files of its previous run.
# Each part prints every command's median and its ratio to the part's first command.
#
# usage: bench/run.sh BUILD_DIR [RUNS] [BATCH_RUNS]
# BUILD_DIR is a configured build (Release for figures worth quoting); RUNS is
# hyperfine's run count for part 1 (default 500), BATCH_RUNS each command's for
# part 2 (default 10). Needs hyperfine, srec_cat and python3. Disk figures swing
# with whatever else writes to the disk: take them on a quiet machine (see uptime).
# The files live in a fresh folder under $TMPDIR (default /tmp); on a tmpfs such
# as TMPDIR=/dev/shm the disk sync of every saved file costs nothing, which shows
# how much of the time is the sync and how much the program.
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR [RUNS] [BATCH_RUNS]}" && pwd)
runs=${2:-500}
batch_runs=${3:-10}
bench=$(cd "$(dirname "$0")" && pwd)
for tool in hyperfine srec_cat python3; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is not installed" >&2; exit 1; }
done

cmake --build "$build" --target tarvik-convert
convert=$build/cli/tarvik-convert

# The baseline, built against the Qt that the build under test uses.
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
qt=$(cache TARVIK_QT_MAJOR)
cmake -S "$bench" -B "$build/bench-baseline" -DCMAKE_BUILD_TYPE="$(cache CMAKE_BUILD_TYPE)" \
      -DTARVIK_QT_MAJOR="$qt" -DQt${qt}_DIR="$(cache Qt${qt}_DIR)" >/dev/null
cmake --build "$build/bench-baseline"
readfile=$build/bench-baseline/readfile
savefloor=$build/bench-baseline/savefloor

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A valid old setup: 3432 random bytes in records of 16, as the product writes them.
srec_cat -generate 0 3432 -random -o old.hex -intel -output-block-size=16
"$convert" old.hex check.hex || { echo "$0: the generated old setup does not convert" >&2; exit 1; }
mkdir in
for i in $(seq -w 1 1000); do cp old.hex "in/setup$i.hex"; done

# hyperfine's JSON export -> each command's median, and its ratio to the first command's
median() {
    sed -n 's/^ *"command": "\(.*\)",$/\1/p; s/^ *"median": \(.*\),$/\1/p' "$1" |
        paste - - | awk -F'\t' 'NR == 1 { first = $2 } { printf "  median %-38s %8.2f ms  %5.2fx\n", $1, $2 * 1000, $2 / first }'
}

echo "== one conversion (median of $runs runs)"
hyperfine -N --warmup 50 --runs "$runs" --export-json one.json \
    -n readfile "$readfile old.hex" \
    -n srec_cat "srec_cat old.hex -intel -o srec.hex -intel" \
    -n tarvik-convert "$convert old.hex new.hex"
median one.json

default=$("$convert" --help | sed -n 's/.*(default \([0-9]*\)).*/\1/p')
files=$(echo in/*.hex)
# The floor again as four processes on a quarter of the files each: what the disk
# gives when several syncs are in flight, for the same work.
quarters=(in/*.hex)
together=""
for q in 0 1 2 3; do together+="$savefloor out-@ ${quarters[*]:q*250:250} & "; done
names=("savefloor (C, sequential)" "savefloor, 4 processes at once" "tarvik-convert -j 1" "tarvik-convert (default, -j $default)")
commands=("$savefloor out-@ $files" "bash -c '${together}wait'" "$convert -j 1 -d out-@ $files" "$convert -d out-@ $files")
for j in 2 4 16; do
    [ "$j" = "$default" ] && continue
    names+=("tarvik-convert -j $j")
    commands+=("$convert -j $j -d out-@ $files")
done

# Each command runs twice: into an empty folder, as a fleet is converted into a new
# one, and over the files of its previous run, where each save also frees the file
# it replaces. The disk's speed drifts, and a command timed right after many runs
# of another was seen to run slower: the commands take turns, two runs each per
# round, in an order that rotates from round to round, and the medians are over all
# rounds.
all=()
for ((k = 0; k < ${#names[@]}; k++)); do
    all+=("$k 0" "$k 1")
    mkdir "out-$k-0" "out-$k-1"
    bash -c "${commands[k]//out-@/out-$k-1}" # the files the runs "over" replace
done
rounds=$(( (batch_runs + 1) / 2 ))
echo "== 1,000 files, each saved durably ($rounds rounds of 2 runs)"
for ((r = 0; r < rounds; r++)); do
    turn=()
    for ((t = 0; t < ${#all[@]}; t++)); do
        read -r k over <<<"${all[(t + r) % ${#all[@]}]}"
        out="out-$k-$over"
        if [ "$over" = 1 ]; then
            turn+=(-n "${names[k]}, over" --prepare "sync")
        else
            turn+=(-n "${names[k]}" --prepare "bash -c 'rm -rf $out && mkdir $out && sync'")
        fi
        turn+=("${commands[k]//out-@/$out}")
    done
    echo "  round $((r + 1)) of $rounds"
    hyperfine -N --runs 2 --style none --export-json "batch-$r.json" "${turn[@]}"
done
echo "== 1,000 files: medians side by side, ratio to the sequential floor (target: the default at most 0.50x)"
python3 - "${names[@]}" <<'PY'
import glob, json, statistics, sys
times = {}
for path in glob.glob("batch-*.json"):
    for result in json.load(open(path))["results"]:
        times.setdefault(result["command"], []).extend(result["times"])
for suffix, title in (("", "into an empty folder"), (", over", "over existing files")):
    print(f"  {title}:")
    floor = statistics.median(times[sys.argv[1] + suffix])
    for name in sys.argv[1:]:
        median = statistics.median(times[name + suffix])
        print(f"    median {name:<38} {median * 1000:8.2f} ms  {median / floor:5.2f}x  ({len(times[name + suffix])} runs)")
PY
for out in out-2-1 out-3-1; do
    cmp -s $out/setup0001.hex new.hex && cmp -s $out/setup1000.hex new.hex ||
        { echo "$0: the batch output in $out differs from the single conversion" >&2; exit 1; }
done
diff -r out-2-1 out-3-1 >/dev/null || { echo "$0: -j 1 and the default wrote different files" >&2; exit 1; }
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || uptime)"
