# The checks of the script tests: sourced after scripts/lib.sh.
# expect <description> <wanted> <got> prints "ok" or "FAILED" and counts the
# failures, which the test's exit status reports.
failures=0
expect() {
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: wanted '$2', got '$3'"; failures=$((failures + 1)); fi
}
