#!/bin/sh
# tsl_peer: this program's TSL 5.0 packets read by tsl-umd-v5 (see check_peer.js).
# $1: the tsl_interop_packets executable, $2: a folder for the packets file.
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v node >/dev/null 2>&1; then echo "tsl_peer: node is missing: run make deps"; exit 1; fi
if [ ! -f "$here/node_modules/tsl-umd-v5/index.js" ]; then
  echo "tsl_peer: tsl-umd-v5 is not installed in $here/node_modules: run make deps"; exit 1
fi
"$1" > "$2/tsl_packets.json" || { echo "tsl_peer: $1 failed"; exit 1; }
exec node "$here/check_peer.js" "$2/tsl_packets.json"
