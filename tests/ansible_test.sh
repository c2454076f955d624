#!/usr/bin/env bash
# The Ansible module `ttyline` driven by a real ansible-playbook, on the real
# tools, inside a private mount namespace with fixture /etc, /dev, /var/lock
# and `who`; and its documentation rendered by ansible-doc.
# Usage: ansible_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
if ! command -v ansible-playbook >/dev/null; then
  echo "ansible-playbook is missing: apt-get install ansible-core"
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi

doc=$(ANSIBLE_NOCOLOR=1 ansible-doc -M "$source/integrations/ansible/library" ttyline 2>&1)
if grep -qiE 'warning|error' <<<"$doc" || ! grep -q '^> TTYLINE' <<<"$doc"; then
  printf 'ansible-doc does not render the module cleanly:\n%s\n' "$doc"
  exit 1
fi

if [ "${3:-}" != --inside ]; then
  exec unshare --mount --propagation private "$0" "$@" --inside
fi
fixture=$(mktemp -d)
trap 'umount /dev/shm /var/lock 2>/dev/null; rm -rf "$fixture"' EXIT
chmod 755 "$fixture"
mkdir -p "$fixture"/{etc,dev,lock,tools,home,run/lock,sys}
table='id:2:initdefault:
S0:2345:off:/sbin/getty -L ttyS0 115200 vt100
#S1:2345:respawn:/sbin/getty -L ttyS1 9600 vt100
'
printf '%s' "$table" > "$fixture/etc/inittab"
printf 'root:x:0:0:root:%s:/bin/sh\n' "$fixture/home" > "$fixture/etc/passwd"
printf 'root:x:0:\n' > "$fixture/etc/group"
printf '#!/bin/sh\necho "$*" >> %s/telinit.log\n' "$fixture" > "$fixture/etc/telinit"
printf '#!/bin/sh\necho "operator ttyS0        2026-12-08 09:12"\n' > "$fixture/who"
chmod 755 "$fixture/etc/telinit" "$fixture/who"
mknod -m 666 "$fixture/dev/null" c 1 3
mknod -m 666 "$fixture/dev/urandom" c 1 9
mknod "$fixture/dev/ttyS0" c 4 64
mknod "$fixture/dev/ttyS1" c 4 65
mknod "$fixture/dev/ttyUSB1" c 188 1
mkdir -p "$fixture/sys/ttyUSB1/device"
for tool in ttyenable ttydisable ttylines; do ln -s "$build/ttyenable" "$fixture/tools/$tool"; done
mount --bind "$fixture/etc" /etc
mount --bind "$fixture/dev" /dev
mkdir /dev/shm && mount -t tmpfs tmpfs /dev/shm  # for Ansible's workers
mount --bind "$fixture/run" /run
mount --bind "$fixture/sys" /sys/class/tty
mount --bind "$fixture/lock" /var/lock
mount --bind "$fixture/who" /usr/bin/who

export HOME=$fixture/home ANSIBLE_NOCOLOR=1 ANSIBLE_LOCAL_TEMP=$fixture/home/tmp ANSIBLE_RETRY_FILES_ENABLED=0
ansible-playbook -c local -i localhost, -M "$source/integrations/ansible/library" \
  -e "tools=$fixture/tools" -e "original='$table'" -e ansible_python_interpreter=/usr/bin/python3 \
  "$source/tests/ansible_playbook.yml"
printf 'init was told %s times\n' "$(wc -l < "$fixture/telinit.log")"
[ "$(wc -l < "$fixture/telinit.log")" -eq 3 ]
