#!/usr/bin/env bash
# Catches committed SPIR-V that drifted from its GLSL source, or that OpenGL would not accept.
set -eu
shaders=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for pair in vert.spv:shader.vert frag.spv:shader.frag; do
  spv=${pair%%:*} src=${pair##*:}
  "$SPIRV_VAL" --target-env opengl4.5 "$shaders/$spv" || { echo "$spv: rejected by spirv-val"; status=1; }
  "$GLSLANG" -G -o "$work/$spv" "$shaders/$src" >/dev/null
  # The generator line names the compiler build, not the module.
  if ! diff <("$SPIRV_DIS" "$shaders/$spv" | grep -v '^; Generator') \
            <("$SPIRV_DIS" "$work/$spv" | grep -v '^; Generator'); then
    echo "$spv: does not match a fresh compile of $src (run: cmake --build build --target spirv)"
    status=1
  fi
done
exit $status
