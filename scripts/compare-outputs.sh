#!/usr/bin/env bash
# Compares the converter of an earlier commit with the one of this work tree, byte for byte:
#   scripts/compare-outputs.sh [COMMIT [NEWER-COMMIT]]   (default: the merge base of HEAD and
#   main, against this work tree as it is)
# Builds both tavrik-converts (a commit's from `git archive` into the cache, once per commit;
# the work tree's in build/compare), converts the samples and the converter tests'
# test-writer files (converter-inputs.sh) with every option that changes what is written, and
# compares every output file, every message and every exit status with compare-converters.py.
# Prints one summary line; exits non-zero on any difference. Needs .venv (scripts/test.sh).
# ALLOW_DIFFERENT="CASE ..." names cases whose outputs may differ (a fix that changes bytes on
# purpose): they are compared and their differences printed, but they do not fail the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/converter-inputs.sh
cache=${TAVRIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrik}
commit=$(git rev-parse "${1:-$(git merge-base HEAD main)}")
newer=${2:+$(git rev-parse "$2")}
say() { echo "compare-outputs: $*" >&2; }

# build_converter SOURCE BUILD: tavrik-convert alone, configured as a release build.
build_converter() {
  cmake -S "$1" -B "$2" -G Ninja -DTAVRIK_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release >"$2.log" 2>&1 \
    && cmake --build "$2" --target tavrik-convert >>"$2.log" 2>&1 \
    || { cat "$2.log" >&2; say "building $1 failed"; return 1; }
  find "$2" -name tavrik-convert -type f -perm -u+x | head -n 1
}

# build_commit COMMIT: the converter of COMMIT, built in the cache.
build_commit() {
  local tree="$cache/compare-outputs/$1"
  if [ ! -f "$tree/source/CMakeLists.txt" ]; then
    rm -rf "$tree" && mkdir -p "$tree/source"
    git archive "$1" | tar -x -C "$tree/source"
  fi
  build_converter "$tree/source" "$tree/build"
}
say "building the converter of ${commit:0:12} and of ${newer:-this work tree}"
old=$(build_commit "$commit")
if [ -n "$newer" ]; then new=$(build_commit "$newer"); else new=$(build_converter "$root" "$root/build/compare"); fi
against=${newer:0:12}; against=${against:-this tree}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
converter_inputs "$work/in"
inputs=("$work"/in/*)
windows=(--rt 1-2000 --mz 100-400)

# The cases: a name, then the options. Each runs over every input at once, into its own folder.
cases=(
  "mzml|"
  "mzml-j1|-j 1"
  "no-zlib|--no-zlib"
  "numpress|--numpress"
  "numpress-no-zlib|--numpress --no-zlib"
  "gzip|--gzip"
  "srm-as-spectra|--srm-as-spectra"
  "windows|${windows[*]}"
  "ms-level|--ms-level 2-"
  "strip-zeros|--strip-zeros"
  "metadata|--metadata"
  "metadata-gzip-windows|--metadata --gzip --strip-zeros ${windows[*]}"
  "mgf|--format mgf"
  "mgf-metadata|--format mgf --metadata --gzip --srm-as-spectra"
  "parquet|--format parquet"
  "parquet-metadata|--format parquet --metadata -j 1"
  "parquet-windows|--format parquet --strip-zeros --srm-as-spectra ${windows[*]}"
  "centroid|--centroid --metadata"
  "centroid-windows|--centroid --centroid-min-intensity 50 --strip-zeros ${windows[*]}"
  "mgf-centroid|--format mgf --centroid"
  "parquet-centroid|--format parquet --centroid --centroid-min-intensity 50 ${windows[*]}"
)

# run SIDE PROGRAM: every case, and -o - per input, into $work/SIDE; messages and exit statuses
# are files there too. The working directory is the case's folder, so that the messages name the
# same relative paths on both sides.
run() {
  local side=$1 program=$2 entry name options input
  for entry in "${cases[@]}"; do
    name=${entry%%|*} options=${entry#*|}
    mkdir -p "$work/$side/$name"
    # shellcheck disable=SC2086  # the options are words
    (cd "$work/$side/$name" && { status=0; "$program" --quiet $options -o out "${inputs[@]}" 2>messages || status=$?; echo $status >status; })
    # Inputs converted at once finish in any order: their messages (each names its input) are
    # compared as a set of lines.
    sort -o "$work/$side/$name/messages" "$work/$side/$name/messages"
  done
  for input in "${inputs[@]}"; do
    for options in "" "--format mgf" "--numpress --srm-as-spectra" "--centroid --gzip"; do
      name="stdout-$(basename "$input")${options// /}"
      mkdir -p "$work/$side/$name"
      # shellcheck disable=SC2086
      (cd "$work/$side/$name" && { status=0; "$program" --quiet $options -o - "$input" >document 2>messages || status=$?; echo $status >status; })
    done
  done
  (cd "$work/$side" && { status=0; "$program" --list-outputs -o out "${inputs[@]}" >list-outputs 2>&1 || status=$?; echo $status >>list-outputs; })
}
run old "$old"
run new "$new"

failed=0 allowed=()
for name in ${ALLOW_DIFFERENT:-}; do
  allowed+=("$name")
  .venv/bin/python scripts/compare-converters.py "$work/old/$name" "$work/new/$name" "$work/in" "$work/in" \
    || say "$name differs, as allowed"
  rm -rf "$work/old/$name" "$work/new/$name"
done
report=$(.venv/bin/python scripts/compare-converters.py "$work/old" "$work/new" "$work/in" "$work/in" 2>&1) || failed=1
[ $failed = 0 ] || echo "$report" >&2
files=$(find "$work/new" -type f | wc -l)
cases_run=$(find "$work/new" -mindepth 1 -maxdepth 1 -type d | wc -l)
if [ $failed = 0 ]; then
  echo "compare-outputs: ${commit:0:12} against $against: $files files of $cases_run cases over ${#inputs[@]} inputs the same bytes (outputs, messages, exit statuses)${allowed:+; allowed to differ: ${allowed[*]}}"
else
  echo "compare-outputs: ${commit:0:12} against $against: DIFFERENT (see above)"
  exit 1
fi
