#!/bin/sh
# Runs a command in a mount namespace of its own with an empty private /tmp, so that tests
# binding fixed paths there ("/tmp/pntSever", "/tmp/dbgServer") neither see nor disturb another
# run on the same machine. Root uses a plain mount namespace, other users a user namespace.
if [ "$(id -u)" -eq 0 ]; then
  exec unshare --mount --propagation private sh -c 'mount -t tmpfs -o mode=1777 tmpfs /tmp && exec "$@"' sh "$@"
fi
exec unshare --user --map-root-user --mount sh -c 'mount -t tmpfs -o mode=1777 tmpfs /tmp && exec "$@"' sh "$@"
