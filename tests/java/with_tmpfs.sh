#!/bin/sh
# with_tmpfs.sh OPTIONS DIR COMMAND...
# Runs COMMAND with a fresh tmpfs mounted on DIR with OPTIONS (noexec, ro, ...),
# in a private mount namespace so that nothing outside ever sees the mount.
# Exits 77, which CTest counts as skipped, where that cannot be done.
set -eu
options=$1
dir=$2
shift 2
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: mounting a tmpfs needs root"
  exit 77
fi
if ! unshare -m true; then
  echo "skipped: no private mount namespace here"
  exit 77
fi
mkdir -p "$dir"
exec unshare -m sh -c 'mount -t tmpfs -o "$1" varnok-test "$2" && shift 2 && exec "$@"' \
  sh "$options" "$dir" "$@"
