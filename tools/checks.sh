# Sourced by the check scripts (tools/check-man.sh, tests/consumer/run.sh):
# `check WHAT COMMAND...` runs one check, prints ok or FAILED with WHAT, and
# counts it in `passed` or `failed`.
passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
        passed=$((passed + 1))
    else
        echo "FAILED: $what"
        failed=$((failed + 1))
    fi
}
