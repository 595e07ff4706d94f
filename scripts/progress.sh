# Shell functions (sourced by demo.sh and test.sh) that keep the build's and the tests'
# output to short lines, so that a long run shows what it is doing without flooding.

# The build folder and type: build/ as Release, the build type users run, unless
# QN4T_BUILD_DIR and QN4T_BUILD_TYPE say otherwise.
QN4T_BUILD_DIR=${QN4T_BUILD_DIR:-build}
QN4T_BUILD_TYPE=${QN4T_BUILD_TYPE:-Release}

# Configures and builds the build folder with two jobs; one short line per step, e.g.
# "[ 42%] compiling core/text.cpp (qn4t_core)". Extra arguments go to cmake --build.
# Compiler errors (stderr) come through untouched.
build_with_progress() {
  cmake -S . -B "$QN4T_BUILD_DIR" -DCMAKE_BUILD_TYPE="$QN4T_BUILD_TYPE" >/dev/null
  cmake --build "$QN4T_BUILD_DIR" -j2 "$@" | sed -u -E \
    -e '/Built target |^Consolidate |^Scanning dependencies /d' \
    -e 's#^(\[ *[0-9]+%\]) Building CXX object (.*/)?CMakeFiles/([^/]+)\.dir/(.*)\.o$#\1 compiling \4 (\3)#' \
    -e "s#$PWD/##g"
}

# Runs ctest on the build folder with its arguments; each test is one line when it ends,
# "  12/304 <name> Passed 0.01 sec", names of more than 66 characters cut in the middle;
# everything else (the output of a failed test, the summary) is shown as ctest prints it.
# A test that runs longer than QN4T_TEST_TIMEOUT seconds (default 600) fails instead of
# holding up the run.
ctest_compact() {
  ctest --test-dir "$QN4T_BUILD_DIR" --timeout "${QN4T_TEST_TIMEOUT:-600}" "$@" | awk '
    function cut(name) {  # the middle goes: the start and the end tell tests apart
      return length(name) > 66 ? substr(name, 1, 28) "~" substr(name, length(name) - 36) : name
    }
    /^ *Start +[0-9]+: / { next }
    /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / {
      name = cut($4)
      outcome = $0
      sub(/^.*\.\.+ */, "", outcome)
      sub(/^\*+/, "", outcome)
      printf "%8s %-66s %s\n", $1, name, outcome
      fflush()
      next
    }
    { print; fflush() }'
}
