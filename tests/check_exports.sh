#!/bin/sh
# The built module must export its entry point and nothing else.
set -e
exported=$(nm -D --defined-only "$1" | awk '{print $3}')
if [ "$exported" != "PyInit_addonGate" ]; then
  echo "unexpected exports of $1:"
  echo "$exported"
  exit 1
fi
echo "exports of $(basename "$1"): PyInit_addonGate"
