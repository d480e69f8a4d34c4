# The shell tests' shared helpers; source it, then end with: exit $fail
fail=0

# result STATUS TEXT: prints ok or FAIL for a check's status.
result() {
    if [ "$1" = 0 ]; then
        echo "ok   $2"
    else
        echo "FAIL $2"
        fail=1
    fi
}

# has TEXT PATTERN: true when a line of TEXT matches the grep pattern.
has() { printf '%s\n' "$1" | grep -q -- "$2"; }

# skip_or_fail REASON: ends a test that cannot run here: skipped (77), but
# failed under CI, which must run everything.
skip_or_fail() {
    if [ -n "${CI:-}" ]; then
        echo "FAIL (CI must run this): $1"
        exit 1
    fi
    echo "skip: $1"
    exit 77
}

# needs FILE WHAT: skips or fails when another build's file is missing.
needs() {
    [ -e "$1" ] || skip_or_fail "needs $2 ($1): build it first, as make test does"
}
