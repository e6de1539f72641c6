#!/bin/sh
# Launches a test program that touches /dev/shm in a private mount namespace with a tmpfs of its
# own there, so that scans and segment names never meet the machine's real segments.  Without
# root a user namespace gives the right to mount (listing works then; the tests expect root).
userns=
[ "$(id -u)" -eq 0 ] || userns=-r
exec unshare $userns -m --propagation private sh -c 'mount -t tmpfs -o mode=1777 zpr-test-shm /dev/shm && exec "$@"' private_shm "$@"
