#!/bin/sh
# A remote shell for tests: takes the arguments the tool gives ssh ([options] -- HOST COMMAND...),
# drops everything up to the host and runs the agent of the build tree on the store named by
# DX_REMOTE_STORE, so that a "remote" machine is a second store on this one. With
# DX_REMOTE_STORE_DIR instead, each host has its own store DIR/HOST.db, and a host without one
# is unreachable (exit 255, as ssh's). With DX_RSH_LOG set, each host reached is appended to
# that file; with DX_AGENT_PIDS set, the process id of each agent started.
while [ $# -gt 0 ] && [ "$1" != "--" ]; do shift; done
[ $# -ge 2 ] || { echo "remote_rsh: no host" >&2; exit 255; }
shift
host=$1
shift
[ -n "$DX_RSH_LOG" ] && printf '%s\n' "$host" >>"$DX_RSH_LOG"
[ -n "$DX_AGENT_PIDS" ] && printf '%s\n' "$$" >>"$DX_AGENT_PIDS"
[ -n "$DX_REMOTE_STORE" ] && export DORVALEX_REGISTRY="$DX_REMOTE_STORE"
if [ -n "$DX_REMOTE_STORE_DIR" ]; then
  [ -f "$DX_REMOTE_STORE_DIR/$host.db" ] || { echo "remote_rsh: $host unreachable" >&2; exit 255; }
  export DORVALEX_REGISTRY="$DX_REMOTE_STORE_DIR/$host.db"
fi
if [ "$1" = dorvalex-agent ] && [ -n "$DX_BUILD_DIR" ]; then
  shift
  exec "$DX_BUILD_DIR/dorvalex-agent" "$@"
fi
exec "$@"
