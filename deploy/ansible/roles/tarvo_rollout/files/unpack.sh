#!/bin/sh
# Self-extracting package: this script with the package's gzip'd tar archive
# appended after the marker line.  Unpacks it at ROOT (default /).  A failed
# unpack fails the script, and the host with it.
set -e
root=${1:-/}
skip=$(awk '/^__TARVO_ARCHIVE__$/ { print NR + 1; exit }' "$0")
tail -n +"$skip" "$0" | tar -xzf - -C "$root"
exit 0
__TARVO_ARCHIVE__
