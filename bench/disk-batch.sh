#!/bin/bash
# A batch of 200 setup files converted into a folder of the current one, first new and then
# replacing the conversions of 200 others, beside cp of the same files into a folder (and cp
# followed by sync of the folder's disk, or by fdatasync of each copy, as the converter makes
# each file durable before it says it is converted); the best of three runs, in milliseconds.
# Run by bench/disks.sh on each disk, with the converter and an old setup file.
#   bench/disk-batch.sh TOOL OLD_SETUP
set -eu
T=$1 old=$2 inputs=$(mktemp -d)
trap 'rm -rf "$inputs" out copies' EXIT
python3 -c '
import sys
lines = open(sys.argv[1]).read().split()
for n in range(400):
    out = []
    for line in lines:
        b = bytearray.fromhex(line[1:])
        if b[3] == 0 and b[1] << 8 | b[2] == 0x100: b[4] = n % 256; b[5] = n // 256
        b[-1] = -sum(b[:-1]) & 255; out.append(":" + b.hex().upper())
    open("%s/%s/%03d.hex" % (sys.argv[2], "ab"[n // 200], n % 200), "w").write("\n".join(out) + "\n")
' "$old" "$(mkdir "$inputs/a" "$inputs/b" && echo "$inputs")"
ms() { local start=$(date +%s%N); "$@" >/dev/null; echo $((($(date +%s%N) - start) / 1000000)); }
best() { sort -n | head -1; }
for run in 1 2 3; do
    rm -rf out copies && mkdir out copies
    echo "new $(ms "$T" -d out "$inputs"/a/*.hex) replacing $(ms "$T" -d out "$inputs"/b/*.hex)"
    echo "cp $(ms cp "$inputs"/a/*.hex copies) cp-replacing $(ms cp "$inputs"/b/*.hex copies)"
    echo "cp+sync $(ms sh -c "cp '$inputs'/a/*.hex copies && sync -f copies")"
    rm -rf copies && mkdir copies
    echo "cp+fdatasync $(ms sh -c "cp '$inputs'/a/*.hex copies && sync -d copies/*")"
done >times
for what in new replacing cp cp-replacing cp+sync cp+fdatasync; do
    printf '%s %s ms  ' "$what" "$(grep -o "^\(.* \)\?$what [0-9]*" times | grep -o '[0-9]*$' | best)"
done
echo
