#!/usr/bin/env bash
# Fails when a layer of src/ includes a header of a layer above it. The layers, lowest first:
# value < db < components < frame < operations (contractline, contract) < model < api (the
# codec and call path the faces share; demo, the demo generator) < faces (cli, service, capi),
# which include api, demo, value and the public headers only.
set -euo pipefail
cd "$(dirname "$0")/../src"
rank() {
  case "$1" in
    value) echo 0 ;; db) echo 1 ;; components) echo 2 ;; frame) echo 3 ;;
    contractline | contract) echo 4 ;; model) echo 5 ;; api | demo) echo 6 ;;
    cli | service | capi) echo 7 ;; *) echo "" ;;
  esac
}
status=0
for dir in */; do
  layer=${dir%/}
  own=$(rank "$layer")
  [ -n "$own" ] || continue
  while IFS= read -r hit; do
    target=$(sed -E 's/.*#include "([a-z_]+)\/.*/\1/' <<<"$hit")
    other=$(rank "$target")
    if [ -n "$other" ] && [ "$other" -gt "$own" ]; then
      echo "upward include: src/$hit" >&2
      status=1
    elif [ "$own" -eq 7 ] && [ -n "$other" ] && [ "$other" -ge 1 ] && [ "$other" -le 5 ]; then
      # A face reaches the library through api (and the demo generator) only.
      echo "face past api: src/$hit" >&2
      status=1
    fi
  done < <(grep -rnE '^#include "[a-z_]+/' "$layer" || true)
done
exit $status
