#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installed as Debian installs it, run by an ordinary user: the package is
# unpacked into a folder owned by root; its tavrelo, started by an
# unprivileged user, keeps the log in that user's data folder, where a saved
# contact lands; its tavrelo-adif finds that log and exports the contact, and
# its tavrelo-wsjtx finds the same log.
. "$(dirname "$0")/lib.sh"
[ "$(id -u)" -eq 0 ] || skip "needs root to add a test user and a root-owned install folder"
: "${TAVRELO_BUILD:?TAVRELO_BUILD must name the build folder}"
command -v runuser >/dev/null || skip "runuser (util-linux) is not installed"

user=tavrelo-e2e
id -u "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/sh "$user"
# The test user goes again at the end, with its home: no login is left behind.
remove_user() {
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        userdel --remove "$user" 2>/dev/null && return
        id -u "$user" >/dev/null 2>&1 || return 0
        sleep 0.2 # its programs, killed, may still be ending
    done
}
trap 'cleanup; remove_user' EXIT
home=$(getent passwd "$user" | cut -d: -f6)
rm -rf "$home/.local/share/Tavrelo"
chmod 755 "$WORK"
(cd "$TAVRELO_BUILD" && cpack -G DEB -B "$WORK/pkg" >/dev/null)
mkdir "$WORK/root"
dpkg -x "$WORK"/pkg/tavrelo_*.deb "$WORK/root"
[ "$(stat -c %U "$WORK/root/usr/bin")" = root ] || fail "the install folder is not root's"

# A runtime folder of the test's own, which goes with it.
chown "$user" "$WORK/runtime"
as_user() {
    runuser -u "$user" -- env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u XDG_CACHE_HOME HOME="$home" \
        DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$WORK/runtime" "$@"
}
start_app "$WORK/root/usr/bin" as_user
fill_contact "BB2BB" "Bert"
save
log="$home/.local/share/Tavrelo/Tavrelo.txt"
read_records "$log" 1
expect_record "${lines[0]}" BB2BB Bert
[ "$(stat -c %U "$log")" = "$user" ] || fail "the log does not belong to $user"
[ ! -e "$WORK/root/usr/bin/Tavrelo.txt" ] || fail "a log appeared beside the installed program"
pass "installed tavrelo, ordinary user: the contact saved in $log"

where=$(as_user "$WORK/root/usr/bin/tavrelo-adif" --where)
[ "$where" = "$log" ] || fail "tavrelo-adif --where says $where"
adi=$(as_user "$WORK/root/usr/bin/tavrelo-adif" --mode CW 2>/dev/null)
grep -q "<CALL:5>BB2BB" <<<"$adi" || fail "the export lacks the contact: $adi"
pass "installed tavrelo-adif found the user's log and exported the contact"

where=$(as_user "$WORK/root/usr/bin/tavrelo-wsjtx" --where)
[ "$where" = "$log" ] || fail "tavrelo-wsjtx --where says $where"
pass "installed tavrelo-wsjtx finds the same log"

# A root run never breaks a user's Tavrelo: as root, the installed programs
# keep root's log in root's data folder, and a Tavrelo.txt planted beside
# them is not used, only named.
planted="$WORK/root/usr/bin/Tavrelo.txt"
printf 'planted,  do not touch\r\n' >"$planted"
roothome="$WORK/roothome"
mkdir -p "$roothome"
as_root() { env HOME="$roothome" XDG_DATA_HOME= "$@"; }
where=$(as_root "$WORK/root/usr/bin/tavrelo-adif" --where 2>"$WORK/note")
[ "$where" = "$roothome/.local/share/Tavrelo/Tavrelo.txt" ] || fail "as root, --where says $where"
grep -q "not used" "$WORK/note" || fail "the planted log was not named: $(cat "$WORK/note")"
printf '<CALL:5>RR1RR<QSO_DATE:8>20240301<TIME_ON:4>1205<BAND:3>20m<MODE:3>FT8<EOR>' >"$WORK/in.adi"
as_root "$WORK/root/usr/bin/tavrelo-adif" --import "$WORK/in.adi" >/dev/null 2>&1 ||
    fail "the import as root failed"
grep -q RR1RR "$roothome/.local/share/Tavrelo/Tavrelo.txt" || fail "root's contact is not in root's log"
[ "$(cat "$planted")" = "$(printf 'planted,  do not touch\r')" ] || fail "the planted log was changed"
where=$(as_user "$WORK/root/usr/bin/tavrelo-adif" --where 2>/dev/null)
[ "$where" = "$log" ] || fail "after root's run, the user's --where says $where"
grep -q RR1RR "$log" && fail "root's contact went into the user's log"
pass "a root run and a planted log beside the installed programs leave the user's log alone"
