# Sourced: build_python PREFIX CACHE [CONFIGURE-OPTION...] builds a free-threaded CPython 3.13
# into PREFIX from the upstream tarball inside Debian trixie's python3.13 source package, fetched
# through a private sources list (the mirror comes from the machine's apt configuration). The
# distribution's patches are not applied: they move site-packages for the system interpreter,
# where a private virtual environment's site module does not look.
# build_python_gil PREFIX CACHE builds the ordinary CPython 3.13 (with the GIL) the same way;
# python_313 sets python313 to that interpreter, cached in CACHE/cpython-3.13 (built once).
# python_311 sets python311 to Debian 12's own CPython 3.11 (its venv and headers installed with
# apt-get when missing); python_312 sets python312 to a CPython 3.12 with the GIL, which no suite
# of Debian's archive carries any more, neither as source nor built: $PYTHON312 if it is one,
# otherwise the upstream 3.12 this machine's pyenv holds.
source "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"

# fetch_python_source WORK: the upstream sources, unpacked into WORK/src (WORK is made anew).
fetch_python_source() {
  local work=$1
  rm -rf "$work" && mkdir -p "$work/lists/partial"
  local mirror keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  mirror=$(debian_mirror)
  echo "deb-src [signed-by=$keyring] $mirror trixie main" > "$work/sources.list"
  local aptopts=(-qq -o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
                 -o "Dir::State::Lists=$work/lists" -o "APT::Get::List-Cleanup=0" -o "APT::Sandbox::User=root")
  apt-get "${aptopts[@]}" update >/dev/null
  (cd "$work" && apt-get "${aptopts[@]}" source --download-only python3.13 >/dev/null)
  local tarball; tarball=$(ls "$work"/python3.13_*.orig.tar.* | head -n 1)
  mkdir "$work/src" && tar -xf "$tarball" -C "$work/src" --strip-components=1
}

build_python() {
  local prefix=$1 cache=$2
  shift 2
  echo "building free-threaded CPython 3.13 $* into $prefix (a few minutes, once)" >&2
  configure_and_install_python "$prefix" "$cache" --disable-gil "$@"
}

build_python_gil() {
  echo "building CPython 3.13 (with the GIL) into $1 (a few minutes, once)" >&2
  configure_and_install_python "$1" "$2"
}

python_313() {
  local cache=${TAVRIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik}
  python313="$cache/cpython-3.13/bin/python3.13"
  "$python313" -c 'import sys, sysconfig
sys.exit(0 if sys.version_info[:2] == (3, 13) and not sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' \
    2>/dev/null || build_python_gil "$cache/cpython-3.13" "$cache"
}

# is_python_with_gil PYTHON MAJOR.MINOR: whether PYTHON is that CPython, built with the GIL.
is_python_with_gil() {
  "$1" -c 'import sys, sysconfig
want = tuple(int(part) for part in sys.argv[1].split("."))
sys.exit(0 if sys.implementation.name == "cpython" and sys.version_info[:2] == want
         and not sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' "$2" 2>/dev/null
}

python_311() {
  python311=/usr/bin/python3.11
  local missing=() package
  for package in python3.11 python3.11-venv python3.11-dev; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing Debian's ${missing[*]}" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  is_python_with_gil "$python311" 3.11 || { echo "$python311 is not CPython 3.11 (Debian 12's own)" >&2; return 1; }
}

python_312() {
  local candidates=() candidate
  [ -n "${PYTHON312:-}" ] && candidates+=("$PYTHON312")
  candidates+=("${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12)
  for candidate in "${candidates[@]}"; do
    if [ -x "$candidate" ] && is_python_with_gil "$candidate" 3.12 \
       && [ -f "$("$candidate" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ]; then
      python312=$candidate
      return 0
    fi
  done
  echo "no CPython 3.12 with its headers: set PYTHON312 to one (Debian's archive has none any more)" >&2
  return 1
}

configure_and_install_python() {
  local prefix=$1 cache=$2 work="$2/python-src-$$"
  shift 2
  fetch_python_source "$work"
  (cd "$work/src" && ./configure --prefix="$prefix" "$@" >"$work/configure.log" 2>&1 \
     && make -j"$(nproc)" >"$work/make.log" 2>&1 && make altinstall >"$work/install.log" 2>&1) \
    || { echo "CPython build failed; logs in $work" >&2; return 1; }
  # Keep the interpreter's own ThreadSanitizer suppressions for a sanitizer build.
  if [ -d "$work/src/Tools/tsan" ]; then mkdir -p "$prefix/share/tsan" && cp "$work"/src/Tools/tsan/*.txt "$prefix/share/tsan/"; fi
  rm -rf "$work"
}
