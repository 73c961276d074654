#!/bin/sh
# Runs a command with an empty private /tmp (mount namespace; user namespace unless root): tests binding fixed
# paths there neither see nor disturb another run. The old /tmp's entries (open on descriptor 3) holding the
# working directory, this script or an argument are bound back (not canonicalized: fd 3 reads as the new /tmp).
script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
inner='
exec 3</tmp || exit 1
mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 1
for p in "$PWD" "$IPCSDK_PRIVATE_TMP_SCRIPT" "$@"; do
  case $p in /tmp/?*) ;; *) continue ;; esac
  entry=${p#/tmp/}
  entry=${entry%%/*}
  [ -e "/tmp/$entry" ] && continue
  [ -e "/proc/self/fd/3/$entry" ] || continue
  if [ -d "/proc/self/fd/3/$entry" ]; then mkdir "/tmp/$entry"; else : >"/tmp/$entry"; fi || exit 1
  mount --no-canonicalize --rbind "/proc/self/fd/3/$entry" "/tmp/$entry" || exit 1
done
exec 3<&-
cd "$PWD" || exit 1
exec "$@"
'
export IPCSDK_PRIVATE_TMP_SCRIPT="$script"
if [ "$(id -u)" -eq 0 ]; then
  exec unshare --mount --propagation private sh -c "$inner" sh "$@"
fi
exec unshare --user --map-root-user --mount sh -c "$inner" sh "$@"
