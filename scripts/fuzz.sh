#!/usr/bin/env bash
# Builds the libFuzzer targets (the "fuzz" preset, clang) and runs each for the given number of
# seconds, one after another, on a corpus kept in build/fuzz/corpus (seeded from the tests' data
# the first time). Prints "figure fuzz_<target>_execs <n> count" per target and
# "figure fuzz_crashes <n> count"; a crashing input is left in build/fuzz/crashes.
#   scripts/fuzz.sh <seconds> [target...]
set -euo pipefail
seconds="${1:-60}"
shift || true
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
export CCACHE_BASEDIR="$root"
# clang and its libFuzzer runtime, from Debian's packages; apt is asked never to remove anything.
if ! command -v clang++-14 >/dev/null 2>&1 || ! dpkg-query -W libclang-rt-14-dev >/dev/null 2>&1; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends \
    --no-remove clang-14 libclang-rt-14-dev
fi
cmake --preset fuzz -S "$root" >/dev/null
cmake --build --preset fuzz >/dev/null

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for source in "$root"/tests/fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

# Seeds: texts the tests feed the same code, so the fuzzer starts from inputs that get far.
seed() { # target name, content
  mkdir -p "$build/corpus/$1"
  printf '%s' "$3" >"$build/corpus/$1/seed-$2"
}
seed_from_tests() { # target, pattern, files...
  local target="$1" pattern="$2" n=0
  shift 2
  while IFS= read -r line; do
    n=$((n + 1))
    seed "$target" "test$n" "$line"
  done < <(grep -ohE "$pattern" "$@" | sed -E 's/^R"\((.*)\)"$/\1/; s/^"(.*)"$/\1/' | sort -u)
}
if [ ! -d "$build/corpus" ]; then
  seed_from_tests fuzz_frames 'R"\([0-9][^)]*\)"' "$root"/tests/realtime/*.cpp
  call='{"id":"c1","chatId":"u1-u2","state":"ACTIVE","callerId":"u2","acceptedAt":"2024-05-01T10:00:00.000Z","members":[{"userId":"u2","name":"Борис","state":"JOINED","deviceId":"sidX"},{"userId":"u1","name":"Анна","state":"JOINED","deviceId":"sidA"}]}'
  seed fuzz_frames call "42[\"native_call\",$call]"
  seed fuzz_frames calls "42[\"native_calls\",{\"items\":[$call]}]"
  seed fuzz_frames audio '42["native_audio",{"id":"c1","from":"u2","seq":7,"pcm":"AAECAwQF"}]'
  seed fuzz_frames error '42["native_call_error",{"message":"Вы уже участвуете в звонке"}]'
  seed fuzz_callrecord active "$call"
  seed fuzz_callrecord ringing '{"id":"c1","state":"RINGING","callerId":"u2","members":[{"userId":"u2","state":"JOINED"},{"userId":"u1","state":"INVITED"},7]}'
  seed fuzz_rows rows '[{"id":"u1-u2","name":"Борис Орлов"},{"id":"m1","senderId":"u2","senderName":"Борис","text":"Привет","attachment":{"url":"https://localhost/auth/flow/web/files/f1","fileName":"a.txt"}},{"id":".."}]'
  seed_from_tests fuzz_attachments '"https://[^"]*"' "$root"/tests/chat/*.cpp
  seed fuzz_attachments name '..\\dir/report.pdf'
  seed fuzz_sessionblob header 'TVKS'
  mkdir -p "$build/corpus/fuzz_mixer"
  printf 'a\001\002AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BB\201\000\000' \
    >"$build/corpus/fuzz_mixer/seed-blocks"
  mkdir -p "$build/corpus/fuzz_screen"
  convert -size 64x48 gradient:red-blue -quality 60 "jpeg:$build/corpus/fuzz_screen/seed-gradient"
  convert -size 8x8 xc:white -quality 90 "jpeg:$build/corpus/fuzz_screen/seed-small"
  base64 -w0 "$build/corpus/fuzz_screen/seed-small" >/tmp/tovik-fuzz-seed.$$
  seed fuzz_frames screen "42[\"native_screen\",{\"id\":\"c1\",\"jpeg\":\"$(cat /tmp/tovik-fuzz-seed.$$)\"}]"
  rm -f /tmp/tovik-fuzz-seed.$$
fi

mkdir -p "$build/crashes"
crashes=0
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  log="$build/$target.log"
  status=0
  QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0 \
    "$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -max_len=65536 \
    -timeout=30 -rss_limit_mb=2048 -artifact_prefix="$build/crashes/$target-" \
    "$build/corpus/$target" >"$log" 2>&1 || status=$?
  execs="$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -1)"
  echo "figure fuzz_${target#fuzz_}_execs ${execs:-0} count"
  if [ "$status" -ne 0 ]; then
    crashes=$((crashes + 1))
    echo "# $target failed (status $status); see $log and $build/crashes"
  fi
done
echo "figure fuzz_crashes $crashes count"
