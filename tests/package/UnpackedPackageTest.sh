#!/usr/bin/env bash
# The server package as a shop PC gets it: unpacked into a scratch root, its contents,
# dependencies, units and man pages checked, then the unpacked kassirod serving the
# registers of the unpacked ecrsim. Skipped (77) when no package was built.
set -euo pipefail

build=$(cd "${1:?build folder}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/wait-for-line.sh"

deb=$(ls "$build"/kassiro_*.deb 2>/dev/null | head -n1 || true)
tray=$(ls "$build"/kassiro-tray_*.deb 2>/dev/null | head -n1 || true)
if [ -z "$deb" ]; then
  echo "no server package in $build (make package builds it)"
  exit 77
fi

source "$here/../../scripts/scratch.sh"
scratch_folder kassiro-package
fail() { echo "FAILED: $*" >&2; exit 1; }

dpkg-deb -x "$deb" "$work/fs"
fs=$work/fs

echo "== contents"
for f in usr/bin/kassirod usr/bin/ecrsim usr/bin/ecrscan usr/bin/ecrclient usr/bin/ecrbridge \
         usr/lib/systemd/system/kassirod.service usr/lib/systemd/system/kassirod@.service \
         usr/lib/systemd/system/ecrbridge.service usr/share/man/man1/ecrbridge.1 \
         usr/share/doc/kassiro/examples/ecrbridge.conf usr/share/doc/kassiro/bridge.md \
         usr/lib/sysusers.d/kassirod.conf \
         usr/share/man/man8/kassirod.8 usr/share/man/man1/ecrsim.1 \
         usr/share/man/man1/ecrscan.1 usr/share/man/man1/ecrclient.1 \
         usr/share/doc/kassiro/README.md usr/share/doc/kassiro/protocol.md; do
  [ -e "$fs/$f" ] || fail "$f is missing"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -q postinst || fail "no postinst (the service user)"

echo "== dependencies, computed from the binaries"
depends=$(dpkg-deb -f "$deb" Depends)
echo "   $depends"
for lib in libc6 libstdc++6 libsystemd0 libmosquitto1; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib"
done
if grep -qi qt <<<"$depends"; then fail "the headless package pulls in Qt"; fi
for exe in "$fs"/usr/bin/*; do
  if ldd "$exe" | grep -qi libqt; then fail "$exe links Qt"; fi
done

if [ -n "$tray" ]; then
  echo "== the tray package"
  dpkg-deb -x "$tray" "$work/tray"
  for f in usr/bin/kassiro usr/share/applications/kassiro.desktop \
           usr/share/icons/hicolor/scalable/apps/kassiro.svg usr/share/doc/kassiro-tray/operator.md; do
    [ -e "$work/tray/$f" ] || fail "tray package: $f is missing"
  done
  traydeps=$(dpkg-deb -f "$tray" Depends)
  echo "   $traydeps"
  grep -q libqt6widgets6 <<<"$traydeps" || fail "the tray package does not depend on Qt Widgets"
  grep -qx 'Exec=kassiro' "$work/tray/usr/share/applications/kassiro.desktop" || fail "desktop entry"
  # The unpacked program finds the guide of its own package.
  guide=$("$work/tray/usr/bin/kassiro" --help | sed -n "s/^Operator's guide: //p")
  [ "$guide" = "$work/tray/usr/share/doc/kassiro-tray/operator.md" ] ||
    fail "the tray program looks for its guide at '$guide'"
fi

echo "== units"
grep -qx 'ExecStart=/usr/bin/kassirod -Dir:${STATE_DIRECTORY} $KASSIROD_OPTIONS' \
  "$fs/usr/lib/systemd/system/kassirod.service" || fail "kassirod.service does not run /usr/bin/kassirod"
if command -v systemd-analyze >/dev/null; then
  mkdir "$work/units"
  for u in kassirod.service kassirod@.service ecrbridge.service; do
    sed "s|/usr/bin/|$fs/usr/bin/|" "$fs/usr/lib/systemd/system/$u" > "$work/units/$u"
  done
  cp "$work/units/kassirod@.service" "$work/units/kassirod@line1.service"
  (cd "$work/units" && systemd-analyze verify --man=no kassirod.service kassirod@line1.service ecrbridge.service) ||
    fail "systemd-analyze verify"
fi

echo "== man pages"
for page in man8/kassirod.8 man1/ecrsim.1 man1/ecrscan.1 man1/ecrclient.1 man1/ecrbridge.1; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$fs/usr/share/man/$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$fs/usr/share/man/$page" 2>/dev/null | grep -q '^NAME' ||
    fail "$page renders no NAME section"
done

echo "== the unpacked server serves the unpacked simulator's registers"
run=$work/run
mkdir "$run"
"$fs/usr/bin/ecrsim" --ecr 3 --ecr 7 --log "$run/line.log" > "$run/ecrsim.out" 2>&1 &
pids+=($!)
port=$(wait_for_line "$run/ecrsim.out" '^ecrsim: line ' | awk '{print $3}')
"$fs/usr/bin/kassirod" "-Dir:$run" "-Port:$port" -IPPort:0 -Password:pkg > "$run/kassirod.out" 2>&1 &
server=$!
pids+=($server)
started=$(wait_for_line "$run/kassirod.out" 'started on')
tcp=$(sed -E 's/.*TCP port ([0-9]+).*/\1/' <<<"$started")
echo "   $started"
# The client holds the set on ECR 7 until it is stopped.
"$fs/usr/bin/ecrclient" --port "$tcp" --linger 0 'ST_RPR COP_REQ 7' 'expect ST_RPR COP_REQ 7 10000' \
  'sleep 120000' > "$run/client.out" 2>&1 &
pids+=($!)
wait_for_line "$run/client.out" '<- ST_RPR.*COP_REQ.*ecr=7 err=ERR_NO_ERROR' >/dev/null ||
  fail "the set on ECR 7 was not given"
wait_for_line "$run/line.log" 'take 07' >/dev/null || fail "ECR 7 is not polled"
status=$("$fs/usr/bin/kassirod" "-Dir:$run" -Status)
grep -qE '^7 +[0-9]{6} ' <<<"$status" || { echo "$status"; fail "-Status does not list ECR 7"; }
"$fs/usr/bin/kassirod" "-Dir:$run" -Q:pkg
for _ in $(seq 100); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$server" 2>/dev/null; then fail "the quit request did not close the server"; fi
grep -q 'closed by user.' "$run/kassirod.log" || fail "no closing line in the log"
echo "== package test passed"
