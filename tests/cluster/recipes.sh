# Shared by the tests that run README.md's recipes (for many machines, and
# for building a controller against an install): the recipes are read from
# README.md itself, so that what people copy is what the tests run. Sourced,
# with $readme set ($line_sim and $work where a function uses them).

# The exit status CTest counts as a skip (SKIP_RETURN_CODE).
SKIPPED=77

skip() {
  echo "skipped: $*"
  exit "$SKIPPED"
}

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Makes $work afresh. It is the test's alone: an existing one is emptied only
# if an earlier run of the test made it.
fresh_work() {
  if [ -e "$work" ]; then
    [ -f "$work/.recipe-test" ] || fail "$work exists and was not made by this test; it is left alone"
    rm -rf "$work"
  fi
  mkdir -p "$work" && touch "$work/.recipe-test"
}

# The fenced code block that follows the line `<!-- NAME recipe -->`.
readme_recipe() {
  local text
  text=$(awk -v marker="<!-- $1 recipe -->" '
    $0 == marker { found = 1; next }
    found == 1 && /^```/ { found = 2; next }
    found == 1 && NF { exit }
    found == 2 && /^```/ { exit }
    found == 2 { print }' "$readme")
  [ -n "$text" ] || fail "$readme: no fenced code block after the line '<!-- $1 recipe -->'"
  printf '%s\n' "$text"
}

# The recipe with the example's plan, shard counts and hosts replaced by the
# test's, as README.md says the tests do; each replaced text must be there.
# Arguments: recipe name, then pairs of README.md's text and the test's.
test_recipe() {
  local name=$1 text
  text=$(readme_recipe "$name")
  shift
  set -- 'oval s_curves --sweep camera.noise=0,10,20,40 --seeds 1..10' \
         'oval s_curves --sweep camera.noise=0,20 --seeds 1..2 --duration 5' "$@"
  while (($#)); do
    [[ $text == *"$1"* ]] || fail "$readme's $name recipe no longer has '$1', which the test replaces with '$2'"
    text=${text//"$1"/"$2"}
    shift 2
  done
  printf '%s\n' "$text"
}

# Runs a recipe's commands with bash in folder $1, echoed first.
run_recipe() {
  [ -n "$2" ] || fail "no recipe to run in $1"
  echo "+ in $1:"
  printf '%s\n' "$2" | sed 's/^/    /'
  (cd "$1" && bash -e -c "$2")
}

# Runs the one-machine recipe in $work/one, then compares its results with the
# merged ones in $1: figure by figure, and with line-sim compare.
check_against_unsharded() {
  local recipe
  recipe=$(test_recipe 'one machine')
  mkdir "$work/one"
  run_recipe "$work/one" "$recipe" > "$work/one/output.txt" \
    || { cat "$work/one/output.txt"; fail "the one-machine recipe failed"; }
  /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/same_results.py" "$work/one/sweep" "$1" \
    || fail "the merged shards differ from the unsharded call"
  # And as a person would check it: compare pairs runs by what they are.
  "$line_sim" compare "$work/one/sweep" "$1" > "$work/compare.txt" 2>&1 \
    || { head -n 20 "$work/compare.txt"; fail "line-sim compare of the unsharded and merged results failed"; }
}
