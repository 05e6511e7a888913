#!/usr/bin/env bash
# Catches committed SPIR-V that drifted from its GLSL source, or that OpenGL would not accept.
set -eu
shaders=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

# The generator line names the compiler build, not the module. Decorations are annotations with
# no order of their own, and glslang releases emit them in different orders: they are compared
# as a sorted set.
disassemble() {
  local text
  text=$("$SPIRV_DIS" "$1" | grep -v '^; Generator')
  grep -Ev '^ *Op(Member)?Decorate ' <<<"$text" || true
  grep -E '^ *Op(Member)?Decorate ' <<<"$text" | sort || true
}

for pair in vert.spv:shader.vert frag.spv:shader.frag; do
  spv=${pair%%:*} src=${pair##*:}
  "$SPIRV_VAL" --target-env opengl4.5 "$shaders/$spv" || { echo "$spv: rejected by spirv-val"; status=1; }
  "$GLSLANG" -G -o "$work/$spv" "$shaders/$src" >/dev/null
  if ! diff <(disassemble "$shaders/$spv") <(disassemble "$work/$spv"); then
    echo "$spv: does not match a fresh compile of $src (run: cmake --build build --target spirv)"
    status=1
  fi
done
exit $status
