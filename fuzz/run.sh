#!/usr/bin/env bash
# Runs every fuzz target for a fixed time. Usage: fuzz/run.sh SECONDS [TARGET...]
# Each target starts from its seed corpus (fuzz/corpus/<target>) and its own growing
# corpus in build/fuzz/corpus/<target>. A crash is copied into fuzz/regressions/<target>/,
# where the replay test picks it up; the script then fails.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds="${1:?usage: fuzz/run.sh SECONDS [TARGET...]}"
shift
targets=("$@")
[ "${#targets[@]}" -eq 0 ] && targets=(transact alive records compiler)
status=0
for t in "${targets[@]}"; do
    corpus="build/fuzz/corpus/$t"
    crashes="build/fuzz/crashes/$t"
    mkdir -p "$corpus" "$crashes"
    echo "fuzz_$t: ${seconds} s"
    build/fuzz/fuzz_"$t" -max_total_time="$seconds" -max_len=12000 -timeout=20 \
        -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$crashes/" \
        "$corpus" "fuzz/corpus/$t" >"build/fuzz/$t.log" 2>&1
    rc=$?
    grep -E "DONE|stat::number_of_executed_units|stat::new_units_added" \
        "build/fuzz/$t.log" | sed 's/^/  /'
    found=$(find "$crashes" -type f | wc -l)
    if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
        mkdir -p "fuzz/regressions/$t"
        find "$crashes" -type f -exec cp {} "fuzz/regressions/$t/" \;
        echo "  FOUND: exit $rc, $found input(s) kept in fuzz/regressions/$t (log build/fuzz/$t.log)"
        status=1
    else
        echo "  nothing found"
    fi
done
exit "$status"
