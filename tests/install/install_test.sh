#!/usr/bin/env bash
# Installs the project as a user would, from a fresh copy of the source tree, then uses the
# installed copy from a folder outside it:
#   install_test.sh venv   SOURCE PYTHON3   a new venv (--system-site-packages) and
#                                           pip install --no-build-isolation
#   install_test.sh target SOURCE PYTHON2   pip install --no-use-pep517 --target DIR
# Checks: the package imports from the install with its version, stubs and layout
# (check_installed.py), the README's examples run, `actiontool --version` and
# `python -m actionfile --version` name the version and the inflater (ISA-L where installed),
# and examples/actions.json survives an import and export through the installed actiontool.
set -euo pipefail
how=$1 source=$(cd "$2" && pwd) python=$3
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qn4t-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
step() { echo "install ($how): $*"; }

step "copying the source tree to $scratch/src"
mkdir "$scratch/src"
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # What a fresh clone would hold, with the changes not yet committed (deleted files left out).
  (cd "$source" && git ls-files -z --cached --others --exclude-standard) |
    while IFS= read -r -d '' file; do
      if [ -e "$source/$file" ]; then (cd "$source" && cp --parents "$file" "$scratch/src"); fi
    done
else
  tar -C "$source" --exclude='./build*' --exclude='*.egg-info' --exclude=__pycache__ \
      --exclude='*.so' -cf - . | tar -C "$scratch/src" -xf -
fi

# --no-index: nothing may be downloaded; the build needs only what the machine has.
case $how in
  venv)
    step "pip install into a new venv of $python"
    "$python" -m venv --system-site-packages "$scratch/venv"
    "$scratch/venv/bin/pip" install -q --no-index --no-build-isolation "$scratch/src"
    run_python=("$scratch/venv/bin/python")
    actiontool=("$scratch/venv/bin/actiontool")
    ;;
  target)
    step "pip install --target $scratch/site with $python"
    "$python" -m pip install -q --no-index --no-use-pep517 --target "$scratch/site" \
      "$scratch/src" 2> >(grep -v DEPRECATION >&2)
    export PYTHONPATH=$scratch/site
    run_python=("$python")
    actiontool=("$scratch/site/bin/actiontool")
    ;;
  *) echo "install_test.sh: venv or target, not $how" >&2; exit 2 ;;
esac
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$source/python/qn4tGenericActionLoader/_version.py")

mkdir "$scratch/use" && cd "$scratch/use"
step "importing the package; the README's examples"
"${run_python[@]}" "$here/check_installed.py" "$source" "$version" "$source/README.md"

step "actiontool --version, python -m actionfile --version"
expect() {  # expect WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then echo "install ($how): $1 printed '$3', expected '$2'" >&2; exit 1; fi
}
# setup.py builds in ISA-L where its headers are installed, as CMake does.
inflater=$("${run_python[@]}" -c "import qn4tGenericActionLoader as q; print(q.inflater())")
if [ -f /usr/include/isa-l/igzip_lib.h ]; then
  expect "inflater()" "isa-l" "${inflater%% *}"
fi
expect "actiontool --version" "actiontool $version (inflating with $inflater)" \
  "$("${actiontool[@]}" --version)"
expect "python -m actionfile --version" "actiontool $version (inflating with $inflater)" \
  "$("${run_python[@]}" -m actionfile --version)"

step "actiontool help git: the documentation installed with the tool"
expect "actiontool help git" "## Action files in git" "$("${actiontool[@]}" help git | head -1)"

step "examples/actions.json through the installed actiontool: import, export, import"
"${actiontool[@]}" import "$source/examples/actions.json" first.gz >/dev/null
"${actiontool[@]}" export first.gz exported.json >/dev/null
"${actiontool[@]}" import exported.json second.gz >/dev/null
"${run_python[@]}" - "$source/examples/actions.json" exported.json <<'PY'
import json, sys
with open(sys.argv[1]) as a, open(sys.argv[2]) as b:
    if json.load(a) != json.load(b):
        sys.exit("the exported JSON differs from examples/actions.json")
PY
cmp <(gzip -dc first.gz) <(gzip -dc second.gz)

step "the installed actiontool: a page (its script and style installed), CSV and SQLite"
"${actiontool[@]}" html first.gz page.html >/dev/null
grep -q "window.actionPage" page.html
"${actiontool[@]}" export --csv sheets first.gz >/dev/null
"${actiontool[@]}" import --csv sheets from-csv.gz >/dev/null
cmp <(gzip -dc first.gz) <(gzip -dc from-csv.gz)
"${actiontool[@]}" export --sqlite first.db first.gz >/dev/null
"${actiontool[@]}" import --sqlite first.db from-db.gz >/dev/null
cmp <(gzip -dc first.gz) <(gzip -dc from-db.gz)
step "passed"
