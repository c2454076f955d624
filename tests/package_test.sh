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

modes() {  # every name of the tool under a prefix, as the system sees it
  (cd "$1" && stat -L -c '%n %a %U:%G' sbin/ttyenable sbin/ttydisable sbin/ttylines share/man/man8/tty*.8 | tr '\n' ' ')
}
built() {  # a scratch build configured with the given options, which change only the install: it installs the binary built
  cmake -S "$source" -B "$scratch/build" -DTTYENABLE_TESTS=OFF -DTTYENABLE_INSTALL_SETUID=OFF -DTTYENABLE_INSTALL_GROUP= "$@" >/dev/null
  cp "$build/ttyenable" "$scratch/build/ttyenable"
  echo "$scratch/build"
}
names="sbin/ttyenable %s sbin/ttydisable %s sbin/ttylines %s "
names+="share/man/man8/ttydisable.8 644 root:root share/man/man8/ttyenable.8 644 root:root share/man/man8/ttylines.8 644 root:root "

# cmake --install: 0755 by default, 4755 with the set-user-id option, 4750
# root:GROUP with a group; every name alike.
cmake --install "$build" --prefix "$scratch/plain" >/dev/null
expect "installed modes" "$(printf "$names" "755 root:root" "755 root:root" "755 root:root")" "$(modes "$scratch/plain")"
cmake --install "$(built -DTTYENABLE_INSTALL_SETUID=ON)" --prefix "$scratch/setuid" >/dev/null
expect "set-user-id install modes" "$(printf "$names" "4755 root:root" "4755 root:root" "4755 root:root")" \
  "$(modes "$scratch/setuid")"
DESTDIR=$scratch/group cmake --install "$(built -DTTYENABLE_INSTALL_GROUP=dialout)" --prefix /usr >/dev/null
expect "group install modes" "$(printf "$names" "4750 root:dialout" "4750 root:dialout" "4750 root:dialout")" \
  "$(modes "$scratch/group/usr")"
chmod 755 "$scratch"
# Through sh: setpriv itself still has root's capabilities when it executes.
member=$(setpriv --reuid=nobody --regid=nogroup --groups=dialout sh -c '"$0" tty' "$scratch/group/usr/sbin/ttylines" 2>&1 || true)
expect "a member of the group runs it" "Arguments must be of form ttyNN" "${member%$'\r'}"
other=$(LC_ALL=C setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c '"$0" tty' "$scratch/group/usr/sbin/ttyenable" 2>&1 || true)
expect "anybody else cannot start it" "Permission denied" "$(grep -o 'Permission denied' <<<"$other")"

# The Debian package.
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$scratch"/ttyenable_*_*.deb)
expect "package contents" \
  "$(printf '%s ' ./usr/sbin/ttydisable '->' ttyenable ./usr/sbin/ttyenable ./usr/sbin/ttylines '->' ttyenable \
    ./usr/share/bash-completion/completions/ttydisable '->' ttyenable ./usr/share/bash-completion/completions/ttyenable \
    ./usr/share/bash-completion/completions/ttylines '->' ttyenable \
    ./usr/share/man/man8/ttydisable.8 '->' ttyenable.8 ./usr/share/man/man8/ttyenable.8 \
    ./usr/share/man/man8/ttylines.8 '->' ttyenable.8)" \
  "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {for (i = 6; i <= NF; i++) printf "%s ", $i}' | tr -s ' ')"
expect "package modes" "-rwxr-xr-x root/root -rw-r--r-- root/root -rw-r--r-- root/root" \
  "$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ {printf "%s%s %s", sep, $1, $2; sep=" "}')"
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
chroot "$root" /usr/sbin/ttydisable tty > "$scratch/output" || status=$?
printf 'Arguments must be of form ttyNN\r\n' > "$scratch/expected"
expect "runs in the scratch root" "same output, status 1" \
  "$(cmp -s "$scratch/expected" "$scratch/output" && echo same output || echo other output), status $status"

[ "$failures" -eq 0 ]
