# shellcheck shell=bash
# Sourced by the shell checks: `check STATUS TEXT [LOG]` counts and prints
# one result (LOG's end shown on a failure); `checks_done` prints the closing
# line "N passed, N failed" and fails when one did.
passed=0
failed=0
check() {
  if [ "$1" = 0 ]; then
    passed=$((passed + 1))
    echo "ok   $2"
  else
    failed=$((failed + 1))
    echo "FAIL $2"
    [ -z "${3:-}" ] || sed 's/^/     /' "$3" | tail -20
  fi
}
checks_done() {
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
}
