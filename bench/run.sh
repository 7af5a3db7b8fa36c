#!/usr/bin/env bash
# History benchmarks on synthetic logs of 100,000 and 1,000,000 records:
# the lookup core against grep in the same run, the scaling between the two
# sizes, peak memory, and the keystroke in the real (offscreen) window.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/bench/lookup_bench ] || bash scripts/setup.sh
data=bench/data
mkdir -p "$data"
for n in 100000 1000000; do
    [ -f "$data/$n/Tavrelo.txt" ] || { mkdir -p "$data/$n" && build/bench/gen_log "$data/$n/Tavrelo.txt" $n 7; }
done
repeats=${REPEATS:-15}

# Median wall time of a shell command, in milliseconds.
median_ms() {
    local times=() s e
    for ((i = 0; i < repeats; i++)); do
        s=$(date +%s%N); eval "$1"; e=$(date +%s%N)
        times+=($(( (e - s) / 1000 )))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.2f", a[int((NR+1)/2)]/1000}'
}

# Two calls: ZZ9ZZ stands in five records near the end of each log; HAM
# (Hamburg) in about 5% of the records.
declare -A warm
printf '%-9s %-6s %8s %9s %10s %13s %12s %9s %10s\n' records call matches "lookup" "lookup cold" \
    "grep>/dev/null" "grep>file" "ratio" "peak RSS"
for n in 100000 1000000; do
    log="$data/$n/Tavrelo.txt"
    for call in ZZ9ZZ HAM; do
        out=$(build/bench/lookup_bench "$log" "$call" "$repeats")
        ms=$(tail -1 <<<"$out")
        cold=$(build/bench/lookup_bench "$log" "$call" "$repeats" --cold | tail -1)
        matches=$(sed -n 's/^matches: //p' <<<"$out")
        rss=$(sed -n 's/^peak RSS: //p' <<<"$out")
        g1=$(median_ms "grep -iF '$call' '$log' > /dev/null")
        g2=$(median_ms "grep -iF '$call' '$log' > '$data/grep.out'")
        warm[$n$call]=$ms
        printf '%-9s %-6s %8s %9s %10s %13s %12s %9s %10s\n' $n $call "$matches" "$ms" "$cold" "$g1" "$g2" \
            "$(awk -v a="$ms" -v b="$g2" 'BEGIN {printf "%.2f", a/b}')" "$rss"
    done
done
rm -f "$data/grep.out"
echo "ratio: lookup / grep writing every matching line (grep > /dev/null stops at the first match)."
for call in ZZ9ZZ HAM; do
    echo "scaling $call, 1,000,000 / 100,000 records: $(awk -v a="${warm[1000000$call]}" -v b="${warm[100000$call]}" 'BEGIN {printf "%.1f", a/b}')x"
done

echo
echo "Keystroke in the window (offscreen): third character of the call to pane shown"
for n in 100000 1000000; do
    for call in ZZ9ZZ HAM; do
        out=$(QT_QPA_PLATFORM=offscreen build/bench/keystroke_bench "$data/$n" "$call" 7 2>/dev/null)
        echo "$n $call: first slice $(tail -1 <<<"$out") ms; $(sed -n 's/^whole pane filled, median ms: /whole pane /p' <<<"$out") ms; $(sed -n 's/^pane lines: //p' <<<"$out") lines"
    done
done

echo
echo "ADIF export (tavrelo-adif --mode SSB -o FILE)"
for n in 100000 1000000; do
    /usr/bin/time -f "$n records: %e s, peak RSS %M KiB" build/tavrelo-adif "$data/$n/Tavrelo.txt" \
        --mode SSB -o "$data/export.adi" 2>&1 | grep -v "contacts written"
done
rm -f "$data/export.adi"
