#!/usr/bin/env bash
# The installed files and the Debian package: modes, contents, and an
# install into a scratch root in which the binary runs.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
expect() {  # what, expected, actual
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  else
    printf 'ok   %s\n' "$1"
  fi
}

# The manual page renders without a warning.
expect "manual page renders cleanly" "" "$(groff -man -ww -z "$source/docs/ttyenable.8" 2>&1)"

# cmake --install: 0755 by default, 4755 with the set-user-id option.
cmake --install "$build" --prefix "$scratch/plain" >/dev/null
expect "installed mode" "755 644" \
  "$(stat -c %a "$scratch/plain/sbin/ttyenable") $(stat -c %a "$scratch/plain/share/man/man8/ttyenable.8")"
cmake -S "$source" -B "$scratch/build-setuid" -DTTYENABLE_TESTS=OFF -DTTYENABLE_INSTALL_SETUID=ON >/dev/null
cmake --build "$scratch/build-setuid" --target ttyenable -j "$(nproc)" >/dev/null
cmake --install "$scratch/build-setuid" --prefix "$scratch/setuid" >/dev/null
expect "set-user-id install mode" "4755 root" "$(stat -c '%a %U' "$scratch/setuid/sbin/ttyenable")"

# The Debian package.
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$scratch"/ttyenable_*_*.deb)
expect "package contents" \
  "-rwxr-xr-x root/root ./usr/sbin/ttyenable -rw-r--r-- root/root ./usr/share/man/man8/ttyenable.8" \
  "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {printf "%s%s %s %s", sep, $1, $2, $6; sep=" "}')"
expect "package name" "ttyenable" "$(dpkg-deb -f "$deb" Package)"

# Installed into a scratch root with dpkg, the binary runs there.
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: > "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" >/dev/null 2>&1 ||
  dpkg --root="$root" --force-depends -i "$deb" >/dev/null
expect "dpkg knows it" "install ok installed" "$(dpkg --root="$root" -s ttyenable | sed -n 's/^Status: //p')"
for library in $(ldd "$root/usr/sbin/ttyenable" | grep -o '/[^ ]*'); do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done
status=0
chroot "$root" /usr/sbin/ttyenable tty > "$scratch/output" || status=$?
printf 'Arguments must be of form ttyNN\r\n' > "$scratch/expected"
expect "runs in the scratch root" "same output, status 1" \
  "$(cmp -s "$scratch/expected" "$scratch/output" && echo same output || echo other output), status $status"

[ "$failures" -eq 0 ]
