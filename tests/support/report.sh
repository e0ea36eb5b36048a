# Reporting shared by the script tests: a step line, a failure that is
# counted, and an abort that ends the test at once (the script's exit trap
# still cleans up).

failures=0
step() { printf '== %s\n' "$*"; }
fail() {
    printf 'FAIL: %s\n' "$*"
    failures=$((failures + 1))
}
abort() {
    fail "$*"
    exit 1
}
