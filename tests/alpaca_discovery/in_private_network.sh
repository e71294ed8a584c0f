#!/usr/bin/env bash
# Runs a test program in a network namespace of its own (loopback and a veth
# pair between two ends inside it) with
# QM_TEST_PRIVATE_NETWORK=1, or, where none can be made (no privilege), as it
# is, where it skips the cases that need one.
#   in_private_network.sh PROGRAM [ARGS...]
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: in_private_network.sh PROGRAM [ARGS...]" >&2
  exit 2
fi
if command -v ip >/dev/null && unshare -n true 2>/dev/null; then
  # Loopback carries no multicast: a veth pair inside the namespace does, and
  # its group members (the responder) receive what is sent out of it.
  exec unshare -n bash -c 'ip link set lo up &&
    ip link add qmva type veth peer name qmvb &&
    ip link set qmva up && ip link set qmvb up &&
    ip -6 addr add fd00:51::1/64 dev qmva nodad &&
    ip -6 addr add fd00:51::2/64 dev qmvb nodad &&
    QM_TEST_PRIVATE_NETWORK=1 QM_TEST_MULTICAST_INTERFACE=qmva exec "$@"' bash "$@"
fi
echo "in_private_network.sh: no network namespace here; cases that listen on every interface skip"
exec "$@"
