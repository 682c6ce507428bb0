#!/bin/bash
# Builds every fuzz target into $OUT for the fuzzing engine, each with its seed
# corpus, options and (where the tree defines the tokens its input is made of)
# dictionary. Runs in the engine's builder image with the sources at
# $SRC/meminfo; the compiler, its flags and the engine's link flags come from
# the environment ($CXX, $CXXFLAGS, $LIB_FUZZING_ENGINE), the build goes to $WORK.
set -euo pipefail  # also when run as `bash build.sh`
src=$SRC/meminfo
build=$WORK/build

cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER="$CXX" -DMEMINFO_IMAGE=OFF \
      -DMEMINFO_FUZZ_ENGINE="$LIB_FUZZING_ENGINE"
cmake --build "$build" -j "$(nproc)"

dictionary() { python3 "$src/.clusterfuzzlite/dictionary" "$@"; }
# One line per target (cmake/host.cmake): name, binary, -max_len=N, its corpus in
# the build tree, its seed folders.
while read -r name binary max_len _corpus seeds; do
  target=${name}_fuzz
  cp "$binary" "$OUT/$target"
  printf '[libfuzzer]\nmax_len = %s\n' "${max_len#-max_len=}" >"$OUT/$target.options"
  rm -f "$OUT/${target}_seed_corpus.zip"
  for dir in $seeds; do (cd "$dir" && zip -qr "$OUT/${target}_seed_corpus.zip" .); done
  case $name in
    flash) dict=(magics "$src/psp/flash.h") ;;
    drux | chip_select) dict=(magics "$src/psp/drux.h") ;;
    hob) dict=(guids "$src"/{core,platform,psp,services,uefi}/*.h) ;;
    scenario) dict=(keys "$src"/sim/scenario/*.cpp) ;;
    *) dict=() ;;  # format: its input is tags and lengths, no tokens
  esac
  if [ ${#dict[@]} -gt 0 ]; then dictionary "${dict[@]}" >"$OUT/$target.dict"; fi
done <"$build/fuzz-targets.txt"
