#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# History, export and import benchmarks on generated logs of 1,000,000 and
# 3,000,000 records, each contact with a full record of 16 fields in the
# fields file beside the log. Every figure is printed beside its baseline
# from the same run: one plain read() of the log, grep -iF writing its
# matches, wc -l.
#
#   bash bench/run.sh [history] [export] [import] [save] [merge] [dxcc]    all when none named
#   REPEATS=N for more or fewer repeats
#
# The window figures come from the real program on a private Xvfb server,
# driven through XTest and timed by X Damage (bench/window_bench.cpp), from
# the key press to the end of the first frame that shows the history.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages libxcb-damage0-dev libxcb-xtest0-dev xvfb ripgrep
[ -d build ] || bash scripts/setup.sh --tests
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
repeats=${REPEATS:-7}
data=bench/data
sizes=(1000000 3000000)
sections=${*:-history export import save merge dxcc}
# Logs of N records: "N" with days in order and times random within each
# day, "N-ordered" in time order, as Save writes them, "N-shuffled" in no
# order at all.
log_of() {
    local n=${1%-*} how=${1#*-}
    [ "$1" != "$n" ] || how=
    [ -f "$data/$1/Tavrelo.adi" ] || { mkdir -p "$data/$1" && build/bench/gen_log "$data/$1/Tavrelo.txt" "$n" 7 fields $how; }
    echo "$data/$1/Tavrelo.txt"
}
for n in "${sizes[@]}"; do
    for variant in "$n" "$n-ordered" "$n-shuffled"; do
        log_of "$variant" >/dev/null
        cp build/tavrelo "$data/$variant/tavrelo"
    done
done

median_ms() {
    local times=() s e
    for ((i = 0; i < repeats; i++)); do
        s=$(date +%s%N); eval "$1"; e=$(date +%s%N)
        times+=($(( (e - s) / 1000 )))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.1f", a[int((NR+1)/2)]/1000}'
}

history() {
    Xvfb -displayfd 3 -screen 0 1280x600x24 -nolisten tcp -noreset 3>"$data/display" 2>/dev/null &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null || true' EXIT
    for _ in $(seq 100); do [ -s "$data/display" ] && break; sleep 0.05; done
    export DISPLAY=":$(head -1 "$data/display")"

    # ZZ9ZZ stands in five records; HAM (Hamburg) in about 5% of them; ",  " in
    # every one.
    texts=("ZZ9ZZ" "HAM" ",  ")
    declare -A later memory
    echo "History in the real window (ms; peak in MiB), baselines from the same run"
    printf '%-16s %-6s %7s %7s %8s %7s %6s %6s | %7s %10s %8s %7s %9s\n' records text first later keywait \
        oldest typed peak "read()" "grep>file" "rg>file" "wc -l" "log MiB"
    for n in "${sizes[@]}" "${sizes[@]/%/-ordered}" "${sizes[@]/%/-shuffled}"; do
        log="$data/$n/Tavrelo.txt"
        read_ms=$(build/bench/read_bench "$log" "$repeats")
        wc_ms=$(median_ms "wc -l '$log' >/dev/null")
        mib=$(( $(stat -c %s "$log") / 1048576 ))
        for text in "${texts[@]}"; do
            out=$(build/bench/window_bench "$data/$n/tavrelo" "$text" "$repeats" 2>/dev/null)
            get() { sed -n "s/^$1 //p" <<<"$out"; }
            grep_ms=$(median_ms "grep -iF -- '$text' '$log' > '$data/grep.out'")
            rg_ms=$(median_ms "rg -iF --no-line-number -- '$text' '$log' > '$data/grep.out'")
            later[$n$text]=$(get later)
            [ "$text" != ",  " ] || memory[$n]="$(get rss) $(get pss) $(get anon) $(get lookupanon) $(get afteranon)"
            printf '%-16s %-6s %7s %7s %8s %7s %6s %6s | %7s %10s %8s %7s %9s\n' "$n" "\"$text\"" "$(get first)" \
                "$(get later)" "$(get keywait)" "$(get oldest)" "$(get typed)" "$(get peak)" "$read_ms" "$grep_ms" \
                "$rg_ms" "$wc_ms" "$mib"
        done
    done
    rm -f "$data/grep.out"
    for text in "${texts[@]}"; do
        echo "growth 1M to 3M records, \"$text\": $(awk -v a="${later[3000000$text]}" -v b="${later[1000000$text]}" 'BEGIN {printf "%.2f", a/b}')x"
    done
    echo "first/later: key press to the first frame with the history; keywait: the longest a key"
    echo "pressed during a lookup waited for its redraw; oldest: Ctrl+End in the pane to its frame;"
    echo "typed: the text typed fast (40 ms a key), its last key to the last frame below the row."

    echo
    echo "Memory of the window (MiB, from /proc/PID/smaps_rollup): at rest after start, the most"
    echo "anonymous memory during the lookups of \",  \" (every line), and at rest after them"
    mkdir -p "$data/0" && : >"$data/0/Tavrelo.txt" && cp build/tavrelo "$data/0/tavrelo"
    empty=$(build/bench/window_bench "$data/0/tavrelo" - 1 2>/dev/null)
    memory[0]="$(sed -n 's/^rss //p' <<<"$empty") $(sed -n 's/^pss //p' <<<"$empty") $(sed -n 's/^anon //p' <<<"$empty") - -"
    printf '%-16s %6s %6s %6s %12s %12s\n' records RSS PSS anon "lookup anon" "after anon"
    for n in 0 "${sizes[@]}" "${sizes[@]/%/-ordered}" "${sizes[@]/%/-shuffled}"; do
        # shellcheck disable=SC2086
        printf '%-16s %6s %6s %6s %12s %12s\n' "$n" ${memory[$n]}
    done
    rm -rf "$data/0"

    echo
    echo "Lookup core alone (lookup_bench, ms; first: until the first and last screens are in"
    echo "order, as the window gets them), against grep -iF writing its matches"
    for n in "${sizes[@]}" "${sizes[@]/%/-ordered}" "${sizes[@]/%/-shuffled}"; do
        log="$data/$n/Tavrelo.txt"
        for text in "${texts[@]}"; do
            ms=$(build/bench/lookup_bench "$log" "$text" "$repeats" | tail -1)
            first=$(build/bench/lookup_bench "$log" "$text" "$repeats" --first | tail -1)
            g=$(median_ms "grep -iF -- '$text' '$log' > '$data/grep.out'")
            echo "$n \"$text\": $ms ms (first $first ms), grep>file $g ms"
        done
    done
    rm -f "$data/grep.out"
}

export_() {
    echo
    echo "ADIF export (tavrelo-adif --mode SSB -o FILE) of contacts with a record each, against"
    echo "wc -l on the fields file; medians of the repeats, as for the import"
    for n in "${sizes[@]}"; do
        log="$data/$n/Tavrelo.txt"
        sync
        wc_ms=$(median_ms "wc -l '$data/$n/Tavrelo.adi' >/dev/null")
        ms=$(median_ms "/usr/bin/time -f %M -o '$data/rss' build/tavrelo-adif '$log' --mode SSB -o '$data/export.adi' >/dev/null 2>&1")
        echo "$n records: $ms ms, $(awk -v a="$ms" -v b="$wc_ms" 'BEGIN {printf "%.1f", a/b}') x wc -l ($wc_ms ms), peak RSS $(( $(cat "$data/rss") / 1024 )) MiB"
    done
}

import_() {
    echo
    echo "ADIF import (tavrelo-adif --import FILE LOG) of the export (--utf8) of the generated"
    echo "log and its records, into an empty log, against wc -l on the same ADIF file; then the"
    echo "same import again"
    for n in "${sizes[@]}"; do
        log=$(log_of "$n")
        build/tavrelo-adif "$log" --utf8 -o "$data/import.adi" >/dev/null 2>&1
        # What earlier steps wrote goes to the disk first: the import's own
        # writes, which it syncs, do not wait behind them.
        sync
        wc_ms=$(median_ms "wc -l '$data/import.adi' >/dev/null")
        ms=$(median_ms "rm -f '$data/imported.txt' '$data/imported.adi'; /usr/bin/time -f %M -o '$data/rss' build/tavrelo-adif --import '$data/import.adi' '$data/imported.txt' >/dev/null 2>&1")
        rss=$(( $(cat "$data/rss") / 1024 ))
        same=$(cmp -s "$log" "$data/imported.txt" && echo "identical to the log" || echo "DIFFERS from the log")
        again=$(median_ms "/usr/bin/time -f %M -o '$data/rss' build/tavrelo-adif --import '$data/import.adi' '$data/imported.txt' >/dev/null 2>&1")
        echo "$n records: $ms ms, $(awk -v a="$ms" -v b="$wc_ms" 'BEGIN {printf "%.1f", a/b}') x wc -l ($wc_ms ms), peak RSS $rss MiB, result $same; again (all duplicates): $again ms ($(awk -v a="$again" -v b="$ms" 'BEGIN {printf "%.2f", a/b}') x), peak RSS $(( $(cat "$data/rss") / 1024 )) MiB"
    done
    rm -f "$data/import.adi" "$data/imported.txt" "$data/imported.adi"
}

save_() {
    echo
    echo "One Save on this disk: the plain append without a journal (the baseline), and the"
    echo "journaled Save of a typed contact and of one with the radio's record"
    build/bench/save_bench "$data/save" 200
    rm -rf "$data/save"
}

merge_() {
    echo
    echo "tavrelo-adif --merge of another log with its fields file (a conflict pair: the same"
    echo "number of contacts, all of them new), against the import of the same contacts as ADIF"
    for n in 300000 1000000; do
        mkdir -p "$data/merge/$n"
        [ -f "$data/merge/$n/other/Tavrelo.adi" ] || {
            mkdir -p "$data/merge/$n/other"
            build/bench/gen_log "$data/merge/$n/other/Tavrelo.txt" "$n" 8 fields
        }
        build/bench/gen_log "$data/merge/$n/base.txt" "$n" 7 fields
        build/tavrelo-adif "$data/merge/$n/other/Tavrelo.txt" --utf8 -o "$data/merge/$n/other.adi" >/dev/null 2>&1
        sync
        setup="rm -f '$data/merge/$n/Tavrelo.txt' '$data/merge/$n/Tavrelo.adi'; cp '$data/merge/$n/base.txt' '$data/merge/$n/Tavrelo.txt'; cp '$data/merge/$n/base.adi' '$data/merge/$n/Tavrelo.adi'"
        ms=$(median_ms "$setup; /usr/bin/time -f %M -o '$data/rss' build/tavrelo-adif --merge '$data/merge/$n/other/Tavrelo.txt' '$data/merge/$n/Tavrelo.txt' >/dev/null 2>&1")
        rss=$(( $(cat "$data/rss") / 1024 ))
        imp=$(median_ms "$setup; /usr/bin/time -f %M -o '$data/rss' build/tavrelo-adif --import '$data/merge/$n/other.adi' '$data/merge/$n/Tavrelo.txt' >/dev/null 2>&1")
        echo "$n + $n contacts: merge $ms ms, peak RSS $rss MiB; import of the same $imp ms, peak RSS $(( $(cat "$data/rss") / 1024 )) MiB"
    done
    rm -rf "$data/merge"
}

dxcc() {
    echo
    echo "Who a call is: the country file read and parsed (against read() of it), one call"
    echo "resolved, and the worked-before index that the window builds at start, per log"
    for n in 300000 "${sizes[@]}"; do
        [ -f "$data/$n/Tavrelo.adi" ] || { mkdir -p "$data/$n" && build/bench/gen_log "$data/$n/Tavrelo.txt" "$n" 7 fields; }
        echo "$n records:"
        build/bench/dxcc_bench /usr/share/hamradio-files/cty.dat "$data/$n/Tavrelo.txt" | sed 's/^/  /'
    done
}

for section in $sections; do
    case $section in
    history) history ;;
    export) export_ ;;
    import) import_ ;;
    save) save_ ;;
    merge) merge_ ;;
    dxcc) dxcc ;;
    *) echo "unknown section: $section (history, export, import, save, merge, dxcc)" >&2; exit 2 ;;
    esac
done
rm -f "$data/export.adi" "$data/rss" "$data/display"
