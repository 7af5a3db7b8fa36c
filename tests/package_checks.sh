#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package as Debian's tools judge it: cpack builds it from the
# build tree; lintian must report no error; the menu entry must pass
# desktop-file-validate; the AppStream metadata must pass appstreamcli
# validate without an error (warnings are allowed).
#   package_checks.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
out=$(mktemp -d /tmp/tavrelo-package.XXXXXX)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/tavrelo_*.deb)
echo "built $(basename "$deb")"
status=0
lintian_rc=0
lintian --fail-on error "$deb" >"$out/lintian" 2>&1 || lintian_rc=$?
grep -v "running with root privileges" "$out/lintian" || true
if [ $lintian_rc -eq 0 ]; then
    echo "lintian: no errors"
else
    echo "FAIL: lintian reports errors"
    status=1
fi
if desktop-file-validate "$source/dist/tavrelo.desktop"; then
    echo "desktop-file-validate: passed"
else
    echo "FAIL: desktop-file-validate"
    status=1
fi
as_out=$(appstreamcli validate --no-net "$build/dist/tavrelo.metainfo.xml" 2>&1 || true)
echo "$as_out"
if grep -q '^E:' <<<"$as_out"; then
    echo "FAIL: appstreamcli reports errors"
    status=1
else
    echo "appstreamcli validate: no errors"
fi
# What is in the package: the three programs, the entry, the icon, the
# metadata, the manual pages, the user unit and the copyright.
dpkg -c "$deb" >"$out/contents"
for f in usr/bin/tavrelo usr/bin/tavrelo-adif usr/bin/tavrelo-wsjtx \
    usr/share/applications/tavrelo.desktop usr/lib/systemd/user/tavrelo-wsjtx.service \
    usr/share/icons/hicolor/scalable/apps/tavrelo.svg usr/share/metainfo/tavrelo.metainfo.xml \
    usr/share/man/man1/tavrelo.1.gz usr/share/man/man1/tavrelo-adif.1.gz \
    usr/share/man/man1/tavrelo-wsjtx.1.gz \
    usr/share/doc/tavrelo/copyright; do
    grep -q " \./$f\$" "$out/contents" || { echo "FAIL: the package lacks /$f"; status=1; }
done
exit $status
