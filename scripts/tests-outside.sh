# Sourced by the scripts that test installed wheels. copy_tests_out WORK PACKAGE... copies the
# Python tests and what they read (testkit, the samples, the type stubs) into WORK/tree, out of
# the checkout and so on no path, and downloads the wheels of PACKAGE... (pinned in
# requirements-dev.txt) into WORK/tools, for installs that never look at an index. Uses the
# caller's pip_quiet.
copy_tests_out() {
  local work=$1 pattern
  shift
  pattern=$(IFS='|'; echo "$*")
  mkdir -p "$work/tree/tests" "$work/tree/python" "$work/tools"
  cp -r tests/python "$work/tree/tests/"
  cp -r testkit samples "$work/tree/"
  cp python/tavrik.pyi "$work/tree/python/"
  pip_quiet .venv/bin/python -m pip download -q --only-binary=:all: -d "$work/tools" \
      -r <(grep -E "^($pattern)==" requirements-dev.txt)
}
