#!/usr/bin/env bash
# Builds the Debian package kvxclient_<version>_<arch>.deb from the package
# preset: the program alone, configured without the tests and benchmarks, so
# nothing of the test tools (umockdev) is needed (installing what is missing
# first). With --check it then checks the
# package as CI does: lintian without errors, the unit, desktop file and
# metainfo through their validators, the files it must carry, the man page
# against --help, and the unpacked program's --version and a short headless run.
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
[ "${1:-}" = "--check" ] && check=1

scripts/install-deps.sh
cmake --preset package >/dev/null
cmake --build --preset package -j "$(nproc)"
(cd build/package && cpack -G DEB >/dev/null)
version=$(sed -n 's/^#define KVX_VERSION "\(.*\)"$/\1/p' build/package/generated/kvx_version.h)
deb=build/package/kvxclient_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "package.sh: $deb was not made" >&2; exit 1; }
echo "Package: $deb ($(stat -c %s "$deb") bytes)"
[ $check -eq 1 ] || exit 0

command -v systemd-analyze >/dev/null || { echo "package check: systemd-analyze is missing (package systemd)" >&2; exit 1; }
fail() { echo "package check FAILED: $*" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "--- files"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#' > "$scratch/files"
app_id=org.kvx.kvxclient
for f in /usr/bin/kvxclient /usr/share/doc/kvxclient/examples/70-kvx-strip.rules \
         /usr/lib/systemd/system/kvx-logger@.service /usr/share/applications/$app_id.desktop \
         /usr/share/metainfo/$app_id.metainfo.xml /usr/share/man/man1/kvxclient.1.gz \
         /usr/share/doc/kvxclient/copyright /usr/share/doc/kvxclient/changelog.gz \
         /usr/share/doc/kvxclient/examples/logger.conf; do
  grep -qx "$f" "$scratch/files" || fail "the package lacks $f"
done
for size in 16 22 24 32 48 64 128 256; do
  grep -qx "/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png" "$scratch/files" ||
    fail "the package lacks the ${size}x${size} icon"
done
# The strip's IDs are unknown: no udev rule may be active after installing.
! grep -q '^/usr/lib/udev/rules.d/.' "$scratch/files" || fail "the package installs a udev rule for unknown IDs"
echo "all $(grep -vc '/$' "$scratch/files") files present"

echo "--- lintian"
lintian_status=0
lintian --fail-on error "$deb" > "$scratch/lintian" 2>&1 || lintian_status=$?
grep -v 'root privileges' "$scratch/lintian" || true
[ $lintian_status -eq 0 ] || fail "lintian reports errors"
echo "lintian: no errors"

echo "--- unpacked"
dpkg -x "$deb" "$scratch/root"
bin=$scratch/root/usr/bin/kvxclient
"$bin" --version | grep -qF "kvxclient $version (" || fail "--version does not say $version"
"$bin" --version

echo "--- desktop-file-validate, appstreamcli"
desktop-file-validate "$scratch/root/usr/share/applications/$app_id.desktop" || fail "desktop file"
appstreamcli validate --no-net "$scratch/root/usr/share/metainfo/$app_id.metainfo.xml" || fail "metainfo"
grep -q "<release version=\"$version\"" "$scratch/root/usr/share/metainfo/$app_id.metainfo.xml" ||
  fail "the metainfo does not name release $version"

echo "--- systemd-analyze verify"
# An instance of the template, with ExecStart pointing at the unpacked program
# (the package is not installed on this machine).
mkdir -p "$scratch/units"
sed "s#/usr/bin/kvxclient#$bin#" "$scratch/root/usr/lib/systemd/system/kvx-logger@.service" \
  > "$scratch/units/kvx-logger@1A2B3.service"
systemd-analyze verify --man=no "$scratch/units/kvx-logger@1A2B3.service" || fail "systemd-analyze verify"
echo "unit verified"

echo "--- man page and --help"
"$bin" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u > "$scratch/help-options"
zcat "$scratch/root/usr/share/man/man1/kvxclient.1.gz" | sed -n '/^\.SH OPTIONS/,/^\.SH [^O]/p' | sed 's/\\-/-/g' | grep -oE -- '--[a-z][a-z-]*' |
  sort -u > "$scratch/man-options"
diff -u "$scratch/help-options" "$scratch/man-options" || fail "man page and --help name different options"
echo "both name: $(tr '\n' ' ' < "$scratch/help-options")"

echo "--- a short headless run of the unpacked program"
mkdir "$scratch/logs"
(cd "$scratch/logs" && "$bin" --headless --duration=3 1A2B3 0 0 1 0 > "$scratch/headless.out" 2>&1) ||
  { cat "$scratch/headless.out"; fail "the headless run failed"; }
ls "$scratch/logs"/01A2B3_ALL_A_*.csv >/dev/null 2>&1 || ls "$scratch/logs"/1A2B3_ALL_A_*.csv >/dev/null 2>&1 ||
  { ls -la "$scratch/logs"; fail "the headless run wrote no current log"; }
echo "logged: $(ls "$scratch/logs")"
echo "package checks passed"
