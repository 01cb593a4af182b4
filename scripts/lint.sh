#!/usr/bin/env bash
# Static analysis of the C++ sources: clang-tidy (checks in .clang-tidy) and cppcheck. Installs
# the pinned tools into .venv/tools when they are missing or the pins changed, writes the compile
# commands into build/lint, and fails on any finding of either tool.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(scripts/find_pythons.sh | head -n 1)
[ -n "$py" ] || { echo "error: no CPython >= 3.12 found" >&2; exit 1; }
tools=.venv/tools build=build/lint
jobs=${LUMO_LINT_JOBS:-2}

# A copy of the requirements inside the venv tells whether it holds exactly these pins.
if ! cmp -s scripts/lint-requirements.txt "$tools/requirements.txt"; then
  [ -x "$tools/bin/python" ] || "$py" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check -r scripts/lint-requirements.txt 2>&1 \
    | grep -v '^WARNING: Location' || true
  "$tools/bin/clang-tidy" --version >/dev/null && "$tools/bin/cppcheck" --version >/dev/null
  cp scripts/lint-requirements.txt "$tools/requirements.txt"
fi
echo "== $("$tools/bin/clang-tidy" --version | grep -o 'LLVM version.*'), $("$tools/bin/cppcheck" --version)"

# Configured afresh each run, so the source glob picks up new files. Nothing is compiled.
mkdir -p "$build"
"$tools/bin/cmake" -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$py" >"$build/cmake.log" 2>&1 || { cat "$build/cmake.log" >&2; exit 1; }
pyinc=$("$py" -c 'import sysconfig; print(sysconfig.get_path("include"))')

mapfile -t sources < <(find src -name '*.cpp' | sort)
# A source outside the build's glob would be linted with guessed flags and never compiled.
for f in "${sources[@]}"; do
  grep -q "\"file\": \"$PWD/$f\"" "$build/compile_commands.json" \
    || { echo "error: $f is not in the build (CMakeLists.txt globs)" >&2; exit 1; }
done

status=0
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
echo "== clang-tidy (${#sources[@]} files, $jobs jobs)"
# One log per file, printed afterwards, so parallel runs do not interleave their reports.
printf '%s\n' "${sources[@]}" | xargs -P "$jobs" -I{} sh -c \
  '"$1" -p "$2" --quiet "$3" >"$4/$(echo "$3" | tr / _).log" 2>&1 || echo "$3" >>"$4/failed"' \
  _ "$tools/bin/clang-tidy" "$build" {} "$logs"
cat "$logs"/*.log
if [ -s "$logs/failed" ]; then
  echo "clang-tidy failed on: $(sort "$logs/failed" | tr '\n' ' ')" >&2
  status=1
fi

echo "== cppcheck"
# One configuration, the one the compiler builds: given no -D, cppcheck tries every #if
# combination of the Python headers, which takes minutes and reports branches never compiled.
# Findings inside Python's headers are not ours; dangerousTypeCast flags only the C casts inside
# CPython's macros (Py_True, PyTuple_GET_ITEM), and src/ itself has no C-style casts.
mkdir -p "$build/cppcheck"
"$tools/bin/cppcheck" --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
  --std=c++20 --language=c++ -I src -I "$pyinc" -DNDEBUG -D__GNUC__=12 -D__x86_64__ -D__linux__ \
  --suppress=missingIncludeSystem "--suppress=*:$pyinc/*" --suppress=dangerousTypeCast \
  --cppcheck-build-dir="$build/cppcheck" -j "$jobs" --quiet \
  --template='{file}:{line}:{column}: {severity}: {message} [{id}]' "${sources[@]}" || status=1

[ $status -eq 0 ] && echo "== lint clean"
exit $status
