# Sourced by the scripts that print one line per step: `step WHAT COMMAND...`
# runs the command with its output held back and shows that output only when
# the command fails (then the script ends).
step() {
  local what=$1; shift
  echo "$what"
  local out
  if ! out=$("$@" 2>&1); then
    printf '%s\n' "$out"
    echo "$what: FAILED"
    exit 1
  fi
}
