#!/usr/bin/env bash
# cmake --install into a staging directory puts every file where the package and systemd expect
# it, the unit names the installed program, the installed program finds its text catalogue,
# and (where systemd-analyze can read units offline) the unit is valid and its exposure low.
#
#   install_layout_test.sh BUILD_DIR
set -euo pipefail
build="$1"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
for f in usr/bin/zelcommsrv usr/bin/zelctl usr/bin/zelsim usr/bin/zelmqtt \
         usr/lib/systemd/system/zelcommsrv.service usr/lib/systemd/system/zelmqtt.service \
         usr/lib/sysusers.d/zelcommsrv.conf \
         usr/lib/tmpfiles.d/zelcommsrv.conf usr/share/zelcommsrv/ZelCommSrvRes.DLL.txt \
         usr/share/zelcommsrv/web/index.html usr/share/zelcommsrv/web/js/app.js; do
  [ -e "$stage/$f" ] || { echo "missing: $f"; exit 1; }
done
unit="$stage/usr/lib/systemd/system/zelcommsrv.service"
grep -qx 'ExecStart=/usr/bin/zelcommsrv --instance /var/lib/zelcommsrv' "$unit" ||
  { echo "ExecStart does not name the installed program"; grep ExecStart "$unit"; exit 1; }
grep -qx 'u zelcommsrv - "Zel communications server" /var/lib/zelcommsrv' \
  "$stage/usr/lib/sysusers.d/zelcommsrv.conf"
[ ! -e "$stage/usr/share/zelcommsrv/web/README.md" ] || { echo "web/README.md installed"; exit 1; }
# The installed program registers into a scratch root and names the installed catalogue.
if command -v systemd-sysusers >/dev/null; then
  ZELCOMMSRV_ROOT="$stage/root" "$stage/usr/bin/zelcommsrv" -RegServer 2>/dev/null
  grep -q "\"$stage/usr/share/zelcommsrv/ZelCommSrvRes.DLL.txt\"" \
    "$stage/root/var/lib/zelcommsrv/registry.json" ||
    { echo "the event source does not name the installed catalogue"; exit 1; }
fi
if systemd-analyze security --offline=true "$unit" >"$stage/security.txt" 2>&1; then
  score="$(sed -n 's/.*Overall exposure level for zelcommsrv.service: \([0-9.]*\).*/\1/p' \
    "$stage/security.txt")"
  echo "systemd-analyze security: $score"
  awk -v s="$score" 'BEGIN { exit !(s + 0 <= 2.0) }' ||
    { echo "the unit's exposure rose above 2.0"; cat "$stage/security.txt"; exit 1; }
else
  echo "systemd-analyze cannot read units offline here: exposure not checked"
fi
echo "install layout: ok"
