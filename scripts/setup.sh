#!/usr/bin/env bash
# Installs what the project needs and is quick when everything is present:
# Debian packages (apt-get, only those missing), a virtualenv in .venv, and
# the package itself with its test extras (rebuilt only when sources change).
#
# Usage: scripts/setup.sh [extra ...]      e.g. scripts/setup.sh test bench
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
EXTRAS=${*:-test}

# ---- system packages -------------------------------------------------------
debs=(g++ pkg-config libzstd-dev libroaring-dev libssl-dev libabsl-dev)
# Debian splits ensurepip (needed by venv) into python3-venv.
python3 -c "import ensurepip" >/dev/null 2>&1 || debs+=(python3-venv)
scripts/apt-ensure.sh "${debs[@]}"

# ---- virtualenv ---------------------------------------------------------------
if [[ ! -x .venv/bin/python ]]; then
  python3 -m venv .venv
fi
PY=.venv/bin/python
$PY -c 'import sys; assert sys.version_info >= (3, 10), "Python 3.10 or newer is required"'

stamp_file=.venv/.vedra-stamp-$(echo "$EXTRAS" | tr ' ' '-')
want_stamp=$(cat pyproject.toml | sha256sum | cut -c1-16)
if [[ ! -f $stamp_file ]] || [[ $(cat "$stamp_file") != "$want_stamp" ]]; then
  $PY -m pip install -q --upgrade pip >/dev/null
  $PY -m pip install -q "scikit-build-core>=0.8" "cmake>=3.18" ninja
  extras_list=$(echo "$EXTRAS" | tr ' ' ',')
  $PY - "$extras_list" > .venv/.vedra-extras.txt <<'PYEOF'
import re, sys
text = open("pyproject.toml", encoding="utf-8").read()
wanted = sys.argv[1].split(",")
for extra in wanted:
    m = re.search(r"^%s = \[(.*?)\]" % re.escape(extra), text, re.M | re.S)
    if m:
        for dep in re.findall(r'"([^"]+)"', m.group(1)):
            print(dep)
PYEOF
  $PY -m pip install -q -r .venv/.vedra-extras.txt
  echo "$want_stamp" > "$stamp_file"
fi

# ---- the package ----------------------------------------------------------------
src_stamp=$(find CMakeLists.txt pyproject.toml src python -type f -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -c1-16)
if [[ ! -f .venv/.vedra-build ]] || [[ $(cat .venv/.vedra-build) != "$src_stamp" ]] || ! $PY -c 'import vedra_runtime' 2>/dev/null; then
  echo "setup: building vedra_runtime" >&2
  $PY -m pip install -q --no-build-isolation --no-deps .
  echo "$src_stamp" > .venv/.vedra-build
fi
