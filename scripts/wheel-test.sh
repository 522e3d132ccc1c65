#!/usr/bin/env bash
# Builds the self-contained x86_64 wheel (scripts/wheel.sh) and checks it as a user
# would get it: abi3audit --strict; then, in fresh virtualenvs of the oldest
# and the newest CPython 3.10+ that pyenv holds, install the wheel, check with
# ldd that the module resolves nothing from the system but the C and C++
# runtime, and run the Python tests against the installed module from a
# directory where the source tree cannot shadow it.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
DIST=$ROOT/build/dist
rm -rf "$DIST"
wheel=$(scripts/wheel.sh "$DIST" | tail -1)
echo "wheel: $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
.venv/bin/python -m pip install -q abi3audit
.venv/bin/abi3audit --strict "$wheel" >/dev/null
echo "abi3audit --strict: clean"

pythons=()
for py in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python; do
  [[ -x $py ]] && "$py" -c 'import sys; sys.exit(sys.version_info < (3, 10))' 2>/dev/null && pythons+=("$py")
done
if ((${#pythons[@]} == 0)); then
  echo "wheel: no pyenv CPython 3.10 or newer found; install checks skipped"
  exit 0
fi
mapfile -t pythons < <(for py in "${pythons[@]}"; do
  echo "$("$py" -c 'import sys; print("%d.%03d.%03d" % sys.version_info[:3])') $py"; done | sort | cut -d' ' -f2)
selected=("${pythons[0]}")
((${#pythons[@]} > 1)) && selected+=("${pythons[-1]}")

for py in "${selected[@]}"; do
  version=$("$py" -c 'import platform; print(platform.python_version())')
  venv=$ROOT/build/wheel-venv-$version
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q "$wheel" -r .venv/.vedra-extras.txt
  module=$("$venv/bin/python" -c 'import vedra_runtime; print(vedra_runtime.__file__)')
  # Every library must come from the wheel or be the C/C++ runtime (glibc
  # before 2.34 keeps libpthread, librt and libdl apart from libc).
  bad=$(ldd "$module" | awk '{print $1, $3}' | grep -v -E \
    '^(linux-vdso\.so|/lib64/ld-linux|libc\.so|libm\.so|libpthread\.so|librt\.so|libdl\.so|libstdc\+\+\.so|libgcc_s\.so)|vedra_runtime\.libs/' || true)
  if [[ -n $bad ]]; then
    echo "wheel on $version: the module needs libraries outside the wheel:"; echo "$bad"; ldd "$module"
    exit 1
  fi
  echo "== wheel on CPython $version: ldd clean; python tests"
  run_dir=$(mktemp -d)
  (cd "$run_dir" && "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$ROOT" -c "$ROOT/pyproject.toml" "$ROOT/tests/python")
  rm -rf "$run_dir"
done
