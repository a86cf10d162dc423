# Shell functions shared by the setup scripts: finding interpreters and making a venv that
# holds corvane and what it needs. Sourced, not run.

# The CPython of a minor version: pyenv's newest patch release of it, else the system's.
interpreter_for() {
  local minor="$1" root candidate
  root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
  candidate="$(ls -d "$root/versions/$minor".* 2>/dev/null | sort -V | tail -n 1 || true)"
  if [ -n "$candidate" ] && [ -x "$candidate/bin/python$minor" ]; then
    echo "$candidate/bin/python$minor"; return
  fi
  command -v "python$minor" 2>/dev/null || true
}

interpreter_newest() {
  local minor
  for minor in 3.13 3.12 3.11 3.10; do
    p="$(interpreter_for "$minor")"
    [ -n "$p" ] && { echo "$p"; return; }
  done
}

# The build requirements of pyproject.toml, one per line (the single place they are listed).
build_requirements() {
  "$1" - <<'PY'
import re, sys
text = open("pyproject.toml", encoding="utf-8").read()
block = re.search(r"^\[build-system\]\n(.*?)(?=^\[)", text, re.S | re.M).group(1)
reqs = re.search(r"requires\s*=\s*\[(.*?)\]", block, re.S).group(1)
print("\n".join(re.findall(r'"([^"]+)"', reqs)))
PY
}

# make_project_venv DIR PYTHON BUILDDIR MODE [pip args...]: a venv at DIR with corvane and its
# test, receiver and sandbox extras. MODE "editable" rebuilds changed C++ on import; "regular" installs
# a copy. A stamp of pyproject.toml (and the extra args) keeps a second run from reinstalling.
make_project_venv() {
  # The venv's own build tools (ninja, meson) first: an editable install remembers the ninja
  # it was built with and runs it again on import.
  local PATH="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")/bin:$PATH"
  local dir="$1" python="$2" builddir="$3" mode="$4"; shift 4
  local stamp="$dir/.corvane-stamp" want
  # A regular install here is a tree to test, not to measure: -O1 compiles in two thirds of
  # -O3's time, and CI builds several such trees from cold.
  local test_build=(--config-settings=setup-args=-Doptimization=1)
  want="$(cat pyproject.toml; echo "$mode $*")"
  if [ -x "$dir/bin/python" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    # Up to date; a regular install still takes the current sources (an incremental build).
    [ "$mode" = editable ] && return 0
    "$dir/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall . \
      --config-settings=build-dir="$PWD/$builddir" "${test_build[@]}"
    return 0
  fi
  [ -x "$dir/bin/python" ] || "$python" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --upgrade pip
  mapfile -t reqs < <(build_requirements "$dir/bin/python")
  "$dir/bin/python" -m pip install -q "${reqs[@]}" "$@"
  mkdir -p "$builddir"
  if [ "$mode" = editable ]; then
    # The build tools live in the venv, so the editable install can rebuild on import.
    "$dir/bin/python" -m pip install -q --no-build-isolation --editable ".[test,receiver,sandbox]" \
      --config-settings=build-dir="$PWD/$builddir" "$@"
  else
    "$dir/bin/python" -m pip install -q --no-build-isolation ".[test,receiver,sandbox]" \
      --config-settings=build-dir="$PWD/$builddir" "${test_build[@]}" "$@"
  fi
  echo "$want" > "$stamp"
}
