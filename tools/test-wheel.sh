#!/usr/bin/env bash
# Installs the newest interpreter's wheel into a fresh venv outside the source tree, with its
# dependencies from PyPI, and imports every module of the package there.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/interpreters.sh
python="$(interpreter_newest)"
tag="$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
wheel="$(ls "$PWD"/dist/corvane-*-"$tag"-*.whl)"
place="$(mktemp -d)"
trap 'rm -rf "$place"' EXIT
"$python" -m venv "$place/venv"
# With the extras, so that the receiver and the sandbox import as well.
"$place/venv/bin/python" -m pip install -q "$wheel[receiver,sandbox]"
cd "$place"
"$place/venv/bin/python" - <<'PY'
import importlib, pathlib, pkgutil, corvane
root = pathlib.Path(corvane.__file__).parent
assert (root / "py.typed").exists(), "py.typed missing from the wheel"
names = sorted(m.name for m in pkgutil.iter_modules([str(root)]) if not m.name.startswith("_"))
stubs = sorted(p.stem for p in root.glob("*.pyi"))
for name in names:
    importlib.import_module(f"corvane.{name}")
missing = [n for n in names if n not in stubs and not (root / n).is_dir() and not (root / f"{n}.py").exists()]
assert not missing, f"modules without stubs: {missing}"
print(f"corvane {corvane.__version__} from the wheel: {len(names)} modules import:", ", ".join(names))
PY
if "$place/venv/bin/python" -c 'import corvane.__main__' 2>/dev/null; then
  "$place/venv/bin/python" -m corvane --help >/dev/null
fi
