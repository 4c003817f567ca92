# Sourced by the command-line tests: `check NAME COMMAND...` runs COMMAND
# and counts it as passed or failed; `checks_done` prints the counts and
# fails when anything did.
PASSED=0
FAILED=0

check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@"; then
    PASSED=$((PASSED + 1))
    echo "ok   - $name"
  else
    FAILED=$((FAILED + 1))
    echo "FAIL - $name"
  fi
}

checks_done() {
  echo "$PASSED passed, $FAILED failed"
  ((FAILED == 0))
}
