#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# tavrelo-adif --lotw with Debian's real tqsl where no certificate is needed
# (no station location: 10; a location without a certificate: 8), and with
# a stand-in that exits as tqsl does on success (0) and on some contacts
# uploaded before (9): only 0 and 9 mark contacts sent.
. "$(dirname "$0")/lib.sh"

command -v tqsl >/dev/null || fail "tqsl is not installed (scripts/setup.sh --tests installs it)"
log="$WORK/Tavrelo.txt"
printf '2024-Mar-01,  12:05,  20m,  ZZ9ZZ,  Hans,  ,  599,  579\r\n2024-Mar-02,  12:06,  40m,  ZZ8ZZ,  ,  ,  ,  \r\n' >"$log"
printf '<QSO_DATE:8>20240301 <TIME_ON:4>1205 <BAND:3>20m <CALL:5>ZZ9ZZ <MODE:2>CW <EOR>\r\n' >"$WORK/Tavrelo.adi"
mkdir -p "$XDG_CONFIG_HOME/Tavrelo" "$HOME/.tqsl"
printf '[lotw]\nlocation=Home\n' >"$XDG_CONFIG_HOME/Tavrelo/Tavrelo.conf"
chmod 600 "$XDG_CONFIG_HOME/Tavrelo/Tavrelo.conf"
marked() { grep -c 'LOTW_QSL_SENT:1>Y' "$WORK/Tavrelo.adi" || true; }

out=$("$TAVRELO_ADIF" --lotw "$log" 2>&1) && fail "tqsl without a station location succeeded: $out"
[[ "$out" == *"tqsl ended with 10 (command syntax error)"*"Final Status"* ]] || fail "exit 10 was said as: $out"
[ "$(marked)" = 0 ] || fail "contacts were marked sent after exit 10"

cat >"$HOME/.tqsl/station_data" <<'XML'
<?xml version="1.0" ?>
<StationDataFile>
  <StationData name="Home"><CALL>ZZ1TVL</CALL><DXCC>230</DXCC></StationData>
</StationDataFile>
XML
out=$("$TAVRELO_ADIF" --lotw "$log" 2>&1) && fail "tqsl without a certificate succeeded: $out"
[[ "$out" == *"tqsl ended with 8"* ]] || fail "exit 8 was said as: $out"
[ "$(marked)" = 0 ] || fail "contacts were marked sent after exit 8"
pass "the real tqsl's failures are said with their meaning and mark nothing"

# A stand-in for tqsl (a certificate cannot be had offline): it keeps the
# file it was given, and exits as told.
cat >"$WORK/tqsl-stand-in" <<EOS
#!/bin/sh
for a; do last=\$a; done
cp "\$last" "$WORK/given.adi"
echo "Final Status: stand-in (\$STAND_IN_EXIT)"
exit \$STAND_IN_EXIT
EOS
chmod +x "$WORK/tqsl-stand-in"
export TAVRELO_TQSL="$WORK/tqsl-stand-in"
out=$(STAND_IN_EXIT=9 "$TAVRELO_ADIF" --lotw "$log" 2>&1) || fail "exit 9 failed: $out"
grep -q '<CALL:5>ZZ9ZZ' "$WORK/given.adi" && grep -q '<CALL:5>ZZ8ZZ' "$WORK/given.adi" || fail "tqsl was not given both contacts"
[ "$(marked)" = 2 ] || fail "$(marked) contacts marked sent after exit 9, expected 2"
printf '2024-Mar-03,  10:00,  15m,  ZZ7ZZ,  ,  ,  ,  \r\n' >>"$log"
rm "$WORK/given.adi"
out=$(STAND_IN_EXIT=0 "$TAVRELO_ADIF" --lotw "$log" 2>&1) || fail "exit 0 failed: $out"
[ "$(grep -c '<EOR>' "$WORK/given.adi")" = 1 ] || fail "contacts sent before went again: $(cat "$WORK/given.adi")"
[[ "$out" == *"1 contacts sent to LoTW and marked sent"* ]] || fail "exit 0 was said as: $out"
[ "$(marked)" = 3 ] || fail "$(marked) contacts marked sent, expected 3"
"$TAVRELO_ADIF" "$log" 2>/dev/null | grep -q 'LOTW_QSLSDATE:8>' || fail "the export lacks LOTW_QSLSDATE"
pass "only tqsl's 0 and 9 mark the contacts sent, and each goes once"

unset DISPLAY
out=$("$TAVRELO_ADIF" --lotw "$log" 2>&1) && fail "--lotw without a display succeeded"
[[ "$out" == *"tqsl needs a display"* ]] || fail "no display was said as: $out"
pass "without a display, --lotw says tqsl needs one"
