#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-19, AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs each for SECONDS (default 60):   scripts/fuzz.sh [SECONDS] [TARGET...]
# The corpus grows in build/fuzz/corpus; a crashing input is left in build/fuzz/artifacts and
# belongs, once fixed, in tests/regressions/<target>/, where the ordinary test run replays it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
shift || true
missing=()
for p in clang-19 libclang-rt-19-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
export PATH="$root/.venv/bin:$PATH"
out="$root/build/fuzz"
flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
if [ -z "${FUZZ_NO_BUILD:-}" ]; then  # set it to run several of these at once on one build
  cmake -S . -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIK_BUILD_MODULE=OFF -DTAVRIK_FUZZ=ON >/dev/null
  cmake --build "$out" | grep -v -e '^\[' -e 'no work to do' || true
fi
[ -d "$out/seeds" ] || .venv/bin/python fuzz/make_corpus.py "$out/seeds"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(gcms_index gcms_scan qtof_index qtof_scan ttfl_index ttfl_scan calibration container open_file)
status=0
for target in "${targets[@]}"; do
  mkdir -p "$out/corpus/$target" "$out/artifacts/$target"
  log="$out/$target.log"
  max_len=4096
  case "$target" in container|open_file) max_len=131072 ;; esac
  if ! "$out/fuzz/fuzz_$target" "$out/corpus/$target" "$out/seeds/$target" -dict=fuzz/layouts.dict \
       -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=$max_len -print_final_stats=1 \
       -artifact_prefix="$out/artifacts/$target/" >"$log" 2>&1; then
    echo "fuzz $target: FAILED, see $log"; status=1
  fi
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
  execs=$(grep -E 'stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
  echo "fuzz $target: ${execs:-?} runs in ${seconds}s; ${done_line:-$(tail -n 1 "$log")}"
done
exit $status
