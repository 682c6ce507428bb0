#!/usr/bin/env bash
# .clusterfuzzlite/build.sh run as the fuzzing engine's builder runs it: the
# engine's variables, the sources at $SRC/meminfo, scratch and results in a
# fresh folder. Then, with the build tree and the sources gone (the targets run
# in another container), every target in $OUT runs on its seed corpus with its
# options and dictionary. Every tests/fuzz/*_fuzz.cpp must be there but those
# that include sim/emu/ (they run the image in the emulator: neither the image
# nor Unicorn is in the engine's build), which must not.
# Usage: engine_build_test.sh <source dir> <clang++> [inputs per target]
set -euo pipefail
source_dir=$1 cxx=$2 runs=${3:-300}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/src" "$tmp/work" "$tmp/out" "$tmp/corpus"
ln -s "$source_dir" "$tmp/src/meminfo"
cp "$source_dir/.clusterfuzzlite/build.sh" "$tmp/src/build.sh"  # as the Dockerfile does

flags="-O1 -fno-omit-frame-pointer -gline-tables-only -fsanitize=address -fsanitize-address-use-after-scope"
flags+=" -fsanitize=fuzzer-no-link"
export CC=${cxx/clang++/clang} CXX=$cxx CFLAGS=$flags CXXFLAGS=$flags
export LIB_FUZZING_ENGINE=-fsanitize=fuzzer SANITIZER=address FUZZING_LANGUAGE=c++
export SRC=$tmp/src WORK=$tmp/work OUT=$tmp/out
if command -v ccache >/dev/null; then
  # Paths under the fresh folder hash alike from one run to the next.
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$tmp CCACHE_NOHASHDIR=1
fi
start=$SECONDS
(cd "$SRC/meminfo" && bash "$SRC/build.sh") >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }
echo "build.sh: $((SECONDS - start)) s"
rm -rf "$WORK" "$SRC"

status=0
for source in "$source_dir"/tests/fuzz/*_fuzz.cpp; do
  target=$(basename "$source" .cpp)
  binary=$OUT/$target
  if grep -q '#include "sim/emu/' "$source"; then
    if [ -e "$binary" ]; then echo "$target: runs the emulator, yet built for the engine"; status=1; fi
    continue
  fi
  if [ ! -x "$binary" ] || [ ! -f "${binary}_seed_corpus.zip" ] || [ ! -f "$binary.options" ]; then
    echo "$target: binary, seed corpus or options missing from \$OUT"; status=1; continue
  fi
  corpus=$tmp/corpus/$target
  unzip -q "${binary}_seed_corpus.zip" -d "$corpus"
  max_len=$(sed -n 's/^max_len = //p' "$binary.options")
  args=(-runs="$runs" -seed=1 -max_len="$max_len")
  if [ -f "$binary.dict" ]; then args+=(-dict="$binary.dict"); fi
  log=$tmp/$target.log
  if ! (cd "$tmp" && "$binary" "${args[@]}" "$corpus") >"$log" 2>&1; then
    echo "$target: failed"; tail -30 "$log"; status=1; continue
  fi
  # A dictionary libFuzzer could not read stops it; one it read is counted.
  if [ -f "$binary.dict" ] && ! grep -q "Dictionary: [1-9][0-9]* entries" "$log"; then
    echo "$target: dictionary not used"; status=1; continue
  fi
  echo "$target: $(grep -a -o 'INITED.*' "$log" | head -1), $(grep -a -o 'Done [0-9]* runs.*' "$log")"
done
exit $status
