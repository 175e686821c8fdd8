#!/usr/bin/env bash
# Installs the Debian packages that are missing; does nothing when all are present.
#   scripts/install-deps.sh          what building and running the tool need
#   scripts/install-deps.sh --package  that, and what scripts/package.sh needs
#   scripts/install-deps.sh --test   all of that, and what the tests and the fuzzers need (an
#                                    SSH server among them, installed disabled)
# apt-get waits up to five minutes for another package manager that holds the lock.
set -euo pipefail

# Building (compiler, build tools, SQLite, GoogleTest for the unit tests, Google Benchmark for
# the benchmarks that the default build includes) and running (/MACHINE: starts ssh).
build_packages=(g++ cmake ninja-build pkg-config libsqlite3-dev libgtest-dev libgmock-dev
                libbenchmark-dev openssh-client)
# Packaging: Debian's build flags and dependency finder (dpkg-dev), lintian.
package_packages=(dpkg-dev lintian)
# Testing: the sqlite3 shell, clang and its sanitizer runtime for the fuzzers, an SSH server
# that the /MACHINE: test starts on its own port, man-db for the package test and util-linux's
# script for the terminal test.
test_packages=(sqlite3 clang libclang-rt-dev openssh-server man-db util-linux)
test_packages+=(g++-mingw-w64-x86-64-posix googletest wine wine64)  # Windows build under Wine

packages=("${build_packages[@]}")
case "${1:-}" in
  --package) packages+=("${package_packages[@]}") ;;
  --test) packages+=("${package_packages[@]}" "${test_packages[@]}") ;;
  "") ;;
  *) echo "usage: $0 [--package | --test]" >&2; exit 2 ;;
esac

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
((${#missing[@]})) || exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
apt_options=(-o DPkg::Lock::Timeout=300 -q)
echo "installing: ${missing[*]}"

# A new SSH server must not start, now or at the next boot: the tests start their own. A
# policy-rc.d that refuses every start covers the installation (one already there is kept),
# and the server is then disabled, with Debian's marker file that its units and init script
# honour, so that it stays stopped even if something enables it later.
new_sshd=0
[[ " ${missing[*]} " == *" openssh-server "* ]] && new_sshd=1
policy=/usr/sbin/policy-rc.d
own_policy=0
if ((new_sshd)) && [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# Left by dorvalex scripts/install-deps.sh while it installs packages.\nexit 101\n' |
    "${sudo_cmd[@]}" tee "$policy" >/dev/null
  "${sudo_cmd[@]}" chmod 755 "$policy"
  own_policy=1
fi
cleanup() { if ((own_policy)); then "${sudo_cmd[@]}" rm -f "$policy"; fi; }
trap cleanup EXIT

# apt-get update takes the lists lock, which DPkg::Lock::Timeout does not cover: retry it.
for try in $(seq 1 30); do
  "${sudo_cmd[@]}" apt-get "${apt_options[@]}" update -qq && break
  [ "$try" -eq 30 ] && exit 1
  echo "apt-get update failed (another package manager running?); retrying in 10 s" >&2
  sleep 10
done
if ((new_sshd)); then
  "${sudo_cmd[@]}" mkdir -p /etc/ssh
  "${sudo_cmd[@]}" touch /etc/ssh/sshd_not_to_be_run
fi
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get "${apt_options[@]}" install -y -qq --no-install-recommends "${missing[@]}"

if ((new_sshd)); then
  if [ -d /run/systemd/system ]; then
    "${sudo_cmd[@]}" systemctl disable --now ssh.service ssh.socket >/dev/null 2>&1 || true
  else
    "${sudo_cmd[@]}" deb-systemd-helper disable ssh.service ssh.socket >/dev/null 2>&1 || true
    "${sudo_cmd[@]}" update-rc.d ssh disable >/dev/null 2>&1 || true
  fi
  echo "openssh-server installed for the tests, disabled and stopped" \
       "(/etc/ssh/sshd_not_to_be_run keeps it so; remove that file to use it)"
fi
