#!/usr/bin/env bash
# Runs README.md's GNU parallel recipe on this machine alone (`-S :`, no ssh)
# and checks that the merged shards hold the results of one unsharded call.
#   parallel_recipe_test.sh README.md LINE_SIM WORK_DIR
set -euo pipefail
readme=$1 line_sim=$(realpath "$2") work=$(realpath -m "$3")
source "$(dirname "$0")/recipes.sh"

command -v parallel > /dev/null || skip "GNU parallel is not installed (scripts/install-packages.sh installs it)"
[ -x /usr/bin/python3 ] || skip "/usr/bin/python3 is missing"

fresh_work && mkdir "$work/parallel"
export PATH=$(dirname "$line_sim"):$PATH
# parallel's own files (its citation notice's mark, its temporary files) stay here.
export PARALLEL_HOME=$work/parallel-home TMPDIR=$work
recipe=$(test_recipe parallel '-S host1,host2,host3' '-S :' '{}/12' '{}/3' '$(seq 12)' '$(seq 3)')
run_recipe "$work/parallel" "$recipe" || fail "the parallel recipe failed"
check_against_unsharded "$work/parallel/sweep"
echo "1 passed, 0 failed"
