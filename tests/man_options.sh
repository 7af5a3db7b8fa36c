#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Each manual page lists exactly the options its program's --help gives
# (Qt's own --help-all aside).
#   man_options.sh SOURCE_DIR PROGRAM...
set -euo pipefail
src=$1
shift
status=0
for program in "$@"; do
    name=$(basename "$program")
    page="$src/dist/$name.1"
    # The options of --help: "  -o, --output <OUT.adi>  ...".
    help=$(QT_QPA_PLATFORM=offscreen "$program" --help | grep -E '^  +-' |
        grep -oE '(^|[ ,])--?[a-z][a-z0-9-]*' | tr -d ' ,' | grep -vx -- '--help-all' | sort -u)
    # The options of the page: the first line of each item of its OPTIONS.
    man=$(awk '/^\.SH OPTIONS/ {on = 1; next} /^\.SH/ {on = 0} on && prev == ".TP" {print} {prev = $0}' "$page" |
        sed 's/\\-/-/g; s/\\f[RBIP]//g' | grep -oE '(^|[ "])--?[a-z][a-z0-9-]*' | tr -d ' "' | sort -u)
    if [ "$help" != "$man" ]; then
        echo "FAIL: $name: --help and $page list other options:" >&2
        diff <(echo "$help") <(echo "$man") | sed 's/^/    /' >&2 || true
        status=1
    fi
done
[ $status -ne 0 ] || echo "PASS: the manual pages list the options --help gives"
exit $status
