#!/bin/sh
# tsl_peer: this program's TSL 5.0 packets read by tsl-umd-v5 (see check_peer.js).
# and tallydump --tsl-decode reading the peer's packets.
# $1: the tsl_interop_packets executable, $2: a folder for the files, $3: tallydump.
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v node >/dev/null 2>&1; then echo "tsl_peer: node is missing: run make deps"; exit 1; fi
if [ ! -f "$here/node_modules/tsl-umd-v5/index.js" ]; then
  echo "tsl_peer: tsl-umd-v5 is not installed in $here/node_modules: run make deps"; exit 1
fi
"$1" > "$2/tsl_packets.json" || { echo "tsl_peer: $1 failed"; exit 1; }
node "$here/check_peer.js" "$2/tsl_packets.json" "$2/peer_sent" || exit 1
"$3" --tsl-decode "$2/peer_sent.bin" > "$2/peer_sent.decoded" || { echo "tsl_peer: tallydump failed"; exit 1; }
if ! cmp -s "$2/peer_sent.expected" "$2/peer_sent.decoded"; then
  echo "tsl_peer: tallydump read the peer's packets differently:"; diff "$2/peer_sent.expected" "$2/peer_sent.decoded"; exit 1
fi
echo "tallydump read the peer's $(wc -l < "$2/peer_sent.decoded") packets as sent"
