#!/bin/bash
# /MACHINE: through a real OpenSSH server on 127.0.0.1. The server runs in a mount namespace
# of its own with a tmpfs over /run (its privilege separation folder), with its own host key,
# configuration and authorised client key in a temporary folder; nothing of the machine's own
# SSH setup is read or changed, and the server is stopped by its pid.
#   sshd_test.sh BUILD_DIR                 the integration test: a script applied through the
#                                          server changes the agent's store, its backout undoes it
#   sshd_test.sh BUILD_DIR --run CMD...    runs CMD with DX_SSH_RSH naming the ssh command words
#                                          for host 127.0.0.1 (used by the benchmark)
# Exits 77 (skipped) when the server or namespaces are not available.
set -euo pipefail

build=$(cd "${1:?usage: sshd_test.sh BUILD_DIR [--run CMD...]}" && pwd)
shift

if [ -z "${DX_SSHD_NAMESPACE:-}" ]; then
  command -v unshare >/dev/null && [ -x /usr/sbin/sshd ] || { echo "no sshd: skipped"; exit 77; }
  [ "$(id -u)" -eq 0 ] || { echo "needs root for the mount namespace: skipped"; exit 77; }
  DX_SSHD_NAMESPACE=1 exec unshare -m --propagation private "$0" "$build" "$@"
fi

mount -t tmpfs -o mode=755 dx-run /run
mkdir -m 755 /run/sshd
work=$(mktemp -d /tmp/dx-sshd-XXXXXX)
sshd_pid=
cleanup() {
  [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null && wait "$sshd_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/client_key"
cp "$work/client_key.pub" "$work/authorized_keys"

# A free port on the loopback interface.
port=
for try in $(seq 1 50); do
  candidate=$((20000 + RANDOM % 40000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then port=$candidate; break; fi
done
[ -n "$port" ] || { echo "no free port"; exit 1; }

cat >"$work/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PidFile $work/sshd.pid
StrictModes no
PermitRootLogin prohibit-password
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
X11Forwarding no
AllowTcpForwarding no
PermitUserEnvironment no
Subsystem sftp internal-sftp
EOF
echo "[127.0.0.1]:$port $(cut -d' ' -f1,2 "$work/host_key.pub")" >"$work/known_hosts"

/usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
sshd_pid=$!

export DX_SSH_RSH="ssh -F /dev/null -p $port -i $work/client_key -o IdentitiesOnly=yes \
-o BatchMode=yes -o UserKnownHostsFile=$work/known_hosts -o StrictHostKeyChecking=yes \
-o LogLevel=ERROR -o User=$(id -un)"
for try in $(seq 1 100); do
  # shellcheck disable=SC2086
  $DX_SSH_RSH -- 127.0.0.1 true 2>/dev/null && break
  kill -0 "$sshd_pid" 2>/dev/null || { cat "$work/sshd.log"; echo "sshd did not start"; exit 1; }
  sleep 0.1
done

if [ "${1:-}" = --run ]; then
  shift
  "$@"
  exit $?
fi

# The integration test.
tool=$build/dorvalex
agent=$build/dorvalex-agent
remote_store=$work/remote.db
local_store=$work/local.db
cd "$work"
fail() { echo "FAIL: $*"; exit 1; }

# The agent's store holds a key whose values the script changes and a key it deletes.
printf 'DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Over SSH]\nUPDATE:"Name"="before"\nUPDATE:[HKLM\\SOFTWARE\\Over SSH\\Old]\nUPDATE:"Kept"=Dword:00000007\n' >seed.txt
DORVALEX_REGISTRY=$remote_store "$tool" /REG:seed.txt >/dev/null || fail "seeding"
dump() {  # the agent's store as the full backup writes it
  mkdir -p "$1" && (cd "$1" && DORVALEX_REGISTRY=$remote_store "$tool" /REGBACKUP >/dev/null)
}
dump before

printf 'DORVALEX\nUPDATE:[HKLM\\SOFTWARE\\Over SSH]\nUPDATE:"Name"="after"\nUPDATE:"New"=Multi:"a","b"\nDELETE:[HKLM\\SOFTWARE\\Over SSH\\Old]\nUPDATE:[HKCR\\.overssh]\nUPDATE:@="file"\n' >change.txt
export DORVALEX_RSH=$DX_SSH_RSH
export DORVALEX_AGENT="env DORVALEX_REGISTRY=$remote_store $agent"
DORVALEX_REGISTRY=$local_store "$tool" /REG:change.txt /BACKUP:undo.txt '/MACHINE:\\127.0.0.1' \
  >run.log || { cat run.log; fail "the run through sshd"; }
dump after
cmp -s before/HKLM_backup.reg after/HKLM_backup.reg && fail "the agent's store did not change"
grep -q '"Name"="after"' after/HKLM_backup.reg || fail "the new value is not in the agent's store"
grep -q 'Classes\\.overssh' after/HKLM_backup.reg || fail "HKCR did not map below HKLM"
grep -q '"Kept"=Dword:00000007' undo.txt || fail "the deleted key's snapshot is not in the backout"

DORVALEX_REGISTRY=$local_store "$tool" /REG:undo.txt '/MACHINE:127.0.0.1' >undo.log ||
  { cat undo.log; fail "the backout through sshd"; }
dump restored
cmp before/HKLM_backup.reg restored/HKLM_backup.reg || fail "the backout did not restore HKLM"
cmp before/HKU_backup.reg restored/HKU_backup.reg || fail "the backout did not restore HKU"

# A host that ssh would take for an option is refused before ssh runs.
DORVALEX_REGISTRY=$local_store "$tool" /REG:change.txt "/MACHINE:-oProxyCommand=touch $work/MARK" \
  >option.log && fail "an option host was accepted"
grep -q '(53)' option.log || fail "an option host did not fail with 53"
[ ! -e "$work/MARK" ] && [ ! -e "$work/mark" ] || fail "the option host reached ssh"

# The tool's own store was never written.
mkdir own && (cd own && DORVALEX_REGISTRY=$local_store "$tool" /REGBACKUP >/dev/null)
grep -q 'Over SSH' own/HKLM_backup.reg && fail "the tool's local store was written"
echo "sshd integration: ok"
