#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# One log on two computers: two real Syncthing instances share the log's
# folder over loopback only (no discovery, relays or NAT). Both log while
# they are apart, Syncthing sets one log aside as a conflict copy, and the
# next contact logged on each side brings it back in: in the end both hold
# the same bytes, every contact once, no conflict copy left.
set -euo pipefail
: "${TAVRELO_ADIF:?TAVRELO_ADIF must name the built tavrelo-adif}"
skip() { echo "SKIPPED: $*" >&2; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
pass() { echo "PASS: $*"; }
command -v syncthing >/dev/null || skip "syncthing is not installed (the set-up installs it)"
command -v curl >/dev/null || skip "curl is not installed"

WORK=$(mktemp -d /tmp/tavrelo-sync.XXXXXX)
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
    [ -n "${KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
key=tavrelo-test-key

declare -A ID LISTEN GUI DIR
for side in a b; do
    syncthing generate --home="$WORK/$side-home" --no-default-folder >"$WORK/$side-gen.log" 2>&1
    ID[$side]=$(sed -n 's/.*Device ID: *//p' "$WORK/$side-gen.log" | head -1)
    [ -n "${ID[$side]}" ] || fail "no device ID for $side: $(cat "$WORK/$side-gen.log")"
    LISTEN[$side]=$(free_port)
    GUI[$side]=$(free_port)
    DIR[$side]="$WORK/$side-log"
    mkdir -p "${DIR[$side]}/.stfolder"
done
for side in a b; do
    other=$([ "$side" = a ] && echo b || echo a)
    cat >"$WORK/$side-home/config.xml" <<XML
<configuration version="36">
    <folder id="tavrelo" label="Tavrelo" path="${DIR[$side]}" type="sendreceive" rescanIntervalS="3600" fsWatcherEnabled="false">
        <device id="${ID[a]}"></device>
        <device id="${ID[b]}"></device>
        <maxConflicts>10</maxConflicts>
    </folder>
    <device id="${ID[$side]}" name="$side"><address>dynamic</address></device>
    <device id="${ID[$other]}" name="$other"><address>tcp://127.0.0.1:${LISTEN[$other]}</address></device>
    <gui enabled="true" tls="false"><address>127.0.0.1:${GUI[$side]}</address><apikey>$key</apikey></gui>
    <options>
        <listenAddress>tcp://127.0.0.1:${LISTEN[$side]}</listenAddress>
        <globalAnnounceEnabled>false</globalAnnounceEnabled>
        <localAnnounceEnabled>false</localAnnounceEnabled>
        <relaysEnabled>false</relaysEnabled>
        <natEnabled>false</natEnabled>
        <urAccepted>-1</urAccepted>
        <startBrowser>false</startBrowser>
        <crashReportingEnabled>false</crashReportingEnabled>
        <autoUpgradeIntervalH>0</autoUpgradeIntervalH>
    </options>
</configuration>
XML
    STNODEFAULTFOLDER=1 syncthing serve --home="$WORK/$side-home" --no-browser --no-restart \
        --logfile="$WORK/$side-sync.log" >/dev/null 2>&1 &
    PIDS+=($!)
done

api() { # side method path
    curl -sf -X "$2" -H "X-API-Key: $key" "http://127.0.0.1:${GUI[$1]}$3"
}
for side in a b; do
    for _ in $(seq 100); do api "$side" GET /rest/system/ping >/dev/null 2>&1 && break; sleep 0.1; done
    api "$side" GET /rest/system/ping >/dev/null || fail "syncthing $side did not start"
done
connected() { # side other
    api "$1" GET /rest/system/connections |
        python3 -c "import json,sys; c=json.load(sys.stdin)['connections']; print(c.get('$2',{}).get('connected',False))"
}
# Both sides have scanned, and each has all the other one has.
settled() {
    local s
    for s in a b; do
        api "$s" POST "/rest/db/scan?folder=tavrelo" >/dev/null
    done
    for _ in $(seq 300); do
        local ok=1
        for s in a b; do
            local o=$([ "$s" = a ] && echo b || echo a)
            api "$s" GET "/rest/db/status?folder=tavrelo" |
                python3 -c "import json,sys; d=json.load(sys.stdin); sys.exit(0 if d['state']=='idle' and d['needFiles']==0 else 1)" || ok=0
            api "$s" GET "/rest/db/completion?folder=tavrelo&device=${ID[$o]}" |
                python3 -c "import json,sys; sys.exit(0 if json.load(sys.stdin)['completion']==100 else 1)" || ok=0
        done
        [ $ok = 1 ] && return 0
        sleep 0.2
    done
    return 1
}
for _ in $(seq 150); do [ "$(connected a "${ID[b]}")" = True ] && break; sleep 0.2; done
[ "$(connected a "${ID[b]}")" = True ] || fail "the two instances did not connect"

contact() { # call time
    printf '<CALL:%d>%s<QSO_DATE:8>20241105<TIME_ON:4>%s<BAND:3>20m<MODE:3>FT8<NAME:5>J\xc3\xb6rg<EOR>' "${#1}" "$1" "$2" >"$WORK/in.adi"
}
# Until a side's own index knows the log as it is on its disk.
scanned() { # side
    local size
    size=$(stat -c %s "${DIR[$1]}/Tavrelo.txt")
    for _ in $(seq 100); do
        api "$1" POST "/rest/db/scan?folder=tavrelo" >/dev/null
        api "$1" GET "/rest/db/file?folder=tavrelo&file=Tavrelo.txt" |
            python3 -c "import json,sys; sys.exit(0 if json.load(sys.stdin)['local']['size']==$size else 1)" &&
            return 0
        sleep 0.1
    done
    return 1
}
log_on() { # side call time
    contact "$2" "$3"
    "$TAVRELO_ADIF" --import "$WORK/in.adi" "${DIR[$1]}/Tavrelo.txt" >>"$WORK/import.log" 2>&1 ||
        fail "the import on $1 failed: $(cat "$WORK/import.log")"
    scanned "$1" || fail "syncthing $1 did not see its log change"
}

log_on a ZZ1A 1000
settled || fail "the first contact did not reach the other side"
cmp -s "${DIR[a]}/Tavrelo.txt" "${DIR[b]}/Tavrelo.txt" || fail "the logs differ after the first contact"
pass "a contact logged on one side reaches the other"

# Apart: each side pauses the other, and both log.
api a POST "/rest/system/pause?device=${ID[b]}" >/dev/null
api b POST "/rest/system/pause?device=${ID[a]}" >/dev/null
log_on a ZZ2B 1010
sleep 1.1 # a later modification time on the other side
log_on b ZZ3C 1020
api a POST "/rest/system/resume?device=${ID[b]}" >/dev/null
api b POST "/rest/system/resume?device=${ID[a]}" >/dev/null
for _ in $(seq 150); do [ "$(connected a "${ID[b]}")" = True ] && break; sleep 0.2; done
settled || fail "the two sides did not settle after they met again"
ls "${DIR[a]}" "${DIR[b]}" | grep -q sync-conflict || fail "Syncthing set nothing aside: $(ls -a "${DIR[a]}" "${DIR[b]}")"
pass "Syncthing set one side's log aside as a conflict copy"

# Once more on each side, one after the other: each brings the copy back in.
log_on a ZZ4D 1030
settled || fail "the sides did not settle after the contact on a"
log_on b ZZ5E 1040
settled || fail "the sides did not settle after the contact on b"

cmp -s "${DIR[a]}/Tavrelo.txt" "${DIR[b]}/Tavrelo.txt" || fail "the logs differ: $(diff "${DIR[a]}/Tavrelo.txt" "${DIR[b]}/Tavrelo.txt")"
cmp -s "${DIR[a]}/Tavrelo.adi" "${DIR[b]}/Tavrelo.adi" || fail "the fields files differ"
for call in ZZ1A ZZ2B ZZ3C ZZ4D ZZ5E; do
    [ "$(grep -c ",  $call,  " "${DIR[a]}/Tavrelo.txt")" = 1 ] || fail "$call is not in the log once: $(cat "${DIR[a]}/Tavrelo.txt")"
done
[ "$(wc -l <"${DIR[a]}/Tavrelo.txt")" = 5 ] || fail "the log holds other lines: $(cat "${DIR[a]}/Tavrelo.txt")"
grep -q "J$(printf '\xc3\xb6')rg" "${DIR[a]}/Tavrelo.txt" || fail "an accent was lost"
if ls "${DIR[a]}" "${DIR[b]}" | grep -q sync-conflict; then
    fail "a conflict copy is left: $(ls "${DIR[a]}" "${DIR[b]}")"
fi
pass "both logs hold the same bytes, every contact once, nothing set aside"
