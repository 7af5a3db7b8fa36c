#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Contacts go to a real Wavelog 2.0.5 on loopback, in a folder of this
# test's own: a window Save arrives once with its fields; a Save while the
# server is down waits and goes once it is back; tavrelo-adif --push sends
# accents whole, says what the web log had already, and names a wrong key.
. "$(dirname "$0")/lib.sh"

# The Wavelog runner sits beside the project: found from this source tree,
# or from the tree this one was cloned from.
src=$(cd "$(dirname "$0")/../.." && pwd)
runner=${WAVELOG_SH:-}
for candidate in "$src/../shared/wavelog/wavelog.sh" \
    "$(git -C "$src" config remote.origin.url 2>/dev/null || true)/../shared/wavelog/wavelog.sh"; do
    [ -n "$runner" ] || { [ -f "$candidate" ] && runner=$candidate; }
done
[ -n "$runner" ] || skip "no Wavelog runner (shared/wavelog/wavelog.sh) beside the source tree"
export WL_DIR="$WORK/wavelog"
# shellcheck source=/dev/null
. "$runner"
# Wavelog keeps its sessions in /tmp; this one keeps them in its own folder,
# which goes with the test.
mkdir -p "$WL_DIR/sessions"
for config in "$WL_SRC/install/config/config.php" "$WL_SRC/application/config/config.php"; do
    [ ! -f "$config" ] || sed -i "s|^\$config\['sess_save_path'\] = .*|\$config['sess_save_path'] = '$WL_DIR/sessions';|" "$config"
done
trap 'wl_stop >/dev/null 2>&1 || true; cleanup' EXIT
wl_start >"$WORK/wl.env" 2>"$WORK/wl.log" || fail "Wavelog did not start: $(tail -5 "$WORK/wl.log")"
. "$WORK/wl.env"
url=${WL_URL%/index.php}

mkdir -p "$XDG_CONFIG_HOME/Tavrelo"
conf="$XDG_CONFIG_HOME/Tavrelo/Tavrelo.conf"
printf '[weblog]\nurl=%s\nkey=%s\nstation_id=%s\n' "$url" "$WL_KEY" "$WL_STATION" >"$conf"
chmod 600 "$conf"

# in_weblog CALL: how many contacts with that call Wavelog holds.
in_weblog() { wl_query "SELECT COUNT(*) FROM TABLE_HRD_CONTACTS_V01 WHERE COL_CALL='$1'" | tail -1; }
# wait_for CALL N: up to 20 s for Wavelog to hold N contacts of CALL.
wait_for() {
    for _ in $(seq 200); do [ "$(in_weblog "$1")" = "$2" ] && return 0; sleep 0.1; done
    fail "Wavelog holds $(in_weblog "$1") contacts of $1, expected $2"
}

mkdir "$WORK/app"
start_app "$WORK/app"
settle 1.3
fill_contact "ZZ9ZZ" "Hans" "40m"
save
wait_for ZZ9ZZ 1
[ "$(wl_query "SELECT COL_NAME, COL_BAND, COL_RST_SENT FROM TABLE_HRD_CONTACTS_V01 WHERE COL_CALL='ZZ9ZZ'" | tail -1)" = "$(printf 'Hans\t40m\t599')" ] ||
    fail "the contact arrived otherwise: $(wl_query "SELECT * FROM TABLE_HRD_CONTACTS_V01 WHERE COL_CALL='ZZ9ZZ'")"
pass "a window Save arrives in the web log with its fields"

wl_stop >/dev/null
type_into 3 "ZZ8ZZ"
save
settle 2
alive
[ "$(wc -l <"$WORK/app/Tavrelo.txt")" = 2 ] || fail "the Save did not go to the log while the web log was down"
message_showing && fail "a server that is down was said in a message box"
wl_start >/dev/null 2>>"$WORK/wl.log" || fail "Wavelog did not start again"
type_into 3 "ZZ7ZZ"
save
wait_for ZZ8ZZ 1
wait_for ZZ7ZZ 1
wait_for ZZ9ZZ 1
pass "a Save while the web log was down went once it was back, and nothing went twice"

# tavrelo-wsjtx alone (the window closed): what WSJT-X announces goes to
# the web log as it is saved, with its mode.
kill -9 "$APP_PID"
start_wsjtx "$TAVRELO_WSJTX" "$WORK/app/Tavrelo.txt"
port=$WSJTX_PORT
"$WSJTX_SEND" "$port" "<adif_ver:5>3.1.0<EOH><call:5>ZZ5ZZ<gridsquare:4>JO62<mode:3>FT8<rst_sent:3>-10<rst_rcvd:3>-12<qso_date:8>20241105<time_on:6>120530<band:3>20m<eor>"
wait_for ZZ5ZZ 1
[ "$(wl_query "SELECT COL_MODE FROM TABLE_HRD_CONTACTS_V01 WHERE COL_CALL='ZZ5ZZ'" | tail -1)" = FT8 ] ||
    fail "the contact from WSJT-X arrived without its mode"
pass "a contact from tavrelo-wsjtx goes to the web log, the window closed"

# tavrelo-adif --push: a log of its own, with accents and a record.
mkdir "$WORK/push"
log="$WORK/push/Tavrelo.txt"
printf '2024-Mar-01,  12:05,  20m,  ZZ6ZZ,  J\xc3\xbcrgen,  M\xc3\xbcnchen,  599,  579\r\n' >"$log"
printf '<QSO_DATE:8>20240301 <TIME_ON:4>1205 <BAND:3>20m <CALL:5>ZZ6ZZ <MODE:2>CW <COMMENT:5>hello <EOR>\r\n' >"$WORK/push/Tavrelo.adi"
out=$("$TAVRELO_ADIF" --push "$log" 2>&1) || fail "--push failed: $out"
[[ "$out" == *"1 contacts sent, 0 already in the web log, 0 refused"* ]] || fail "--push said: $out"
[ "$(wl_query "SELECT COL_NAME, COL_QTH, COL_MODE, COL_COMMENT FROM TABLE_HRD_CONTACTS_V01 WHERE COL_CALL='ZZ6ZZ'" | tail -1)" = "$(printf 'J\xc3\xbcrgen\tM\xc3\xbcnchen\tCW\thello')" ] ||
    fail "accents or fields did not arrive whole: $(wl_query "SELECT COL_NAME, COL_QTH FROM TABLE_HRD_CONTACTS_V01 WHERE COL_CALL='ZZ6ZZ'")"
out=$("$TAVRELO_ADIF" --push "$log" 2>&1) || fail "a second --push failed: $out"
[[ "$out" == *"0 contacts sent, 0 already in the web log, 0 refused, 0 waiting"* ]] || fail "a second --push said: $out"
rm "$WORK"/push/Tavrelo.*.weblog
out=$("$TAVRELO_ADIF" --push "$log" 2>&1) || fail "--push after a lost delivery file failed: $out"
[[ "$out" == *"0 contacts sent, 1 already in the web log"* ]] || fail "--push of a duplicate said: $out"
wait_for ZZ6ZZ 1
# The same log on a second computer (synced there), which sends it too.
mkdir "$WORK/second"
cp "$log" "$WORK/push/Tavrelo.adi" "$WORK/second/"
out=$("$TAVRELO_ADIF" --push "$WORK/second/Tavrelo.txt" 2>&1) || fail "--push from a second copy failed: $out"
[[ "$out" == *"0 contacts sent, 1 already in the web log"* ]] || fail "--push from a second copy said: $out"
wait_for ZZ6ZZ 1
pass "--push sends accents whole, never twice (a lost delivery file, a second computer), and counts what the web log had as delivered"

printf '[weblog]\nurl=%s\nkey=wrong\nstation_id=%s\n' "$url" "$WL_STATION" >"$conf"
rm "$WORK"/push/Tavrelo.*.weblog
if out=$("$TAVRELO_ADIF" --push "$log" 2>&1); then fail "--push with a wrong key succeeded: $out"; fi
[[ "$out" == *"does not take the key"*"wrong api key"* ]] || fail "a wrong key was said as: $out"
chmod 644 "$conf"
if out=$("$TAVRELO_ADIF" --push "$log" 2>&1); then fail "a settings file others may read was used"; fi
[[ "$out" == *"chmod 600"* ]] || fail "a settings file others may read was said as: $out"
pass "a wrong key and a settings file others may read are said, with the server's words"
