#!/usr/bin/env bash
# Installs the newest interpreter's repaired (manylinux) wheel into a fresh venv outside the
# source tree, with its dependencies from PyPI, and runs a smoke test there with nothing else on
# the path: every module imports, libcrypto is the wheel's own copy, a webhook signature
# verifies, and one request goes through the sandbox.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/interpreters.sh
python="$(interpreter_newest)"
tag="$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
wheel="$(ls "$PWD"/dist/corvane-*-"$tag"-*manylinux*.whl)"
echo "testing $(basename "$wheel")"
place="$(mktemp -d)"
trap 'rm -rf "$place"' EXIT
"$python" -m venv "$place/venv"
# With the extras, so that the receiver and the sandbox import as well.
"$place/venv/bin/python" -m pip install -q "$wheel[receiver,sandbox]"
cd "$place"
# A bare environment: no PYTHONPATH, no library path, no user site; the venv's interpreter alone.
env -i HOME="$place" PATH=/usr/bin:/bin "$place/venv/bin/python" -I - <<'PY'
import asyncio, hashlib, hmac, importlib, pathlib, pkgutil, subprocess
from urllib.parse import parse_qs, urlsplit

import corvane

root = pathlib.Path(corvane.__file__).parent
assert (root / "py.typed").exists(), "py.typed missing from the wheel"
names = sorted(m.name for m in pkgutil.iter_modules([str(root)]) if not m.name.startswith("_"))
stubs = sorted(p.stem for p in root.glob("*.pyi"))
for name in names:
    importlib.import_module(f"corvane.{name}")
missing = [n for n in names if n not in stubs and not (root / n).is_dir() and not (root / f"{n}.py").exists()]
assert not missing, f"modules without stubs: {missing}"

# The modules link the wheel's own libcrypto, not the system's (which the interpreter's ssl
# module may load beside it).
for module in root.glob("*.so"):
    linked = subprocess.run(["ldd", str(module)], capture_output=True, text=True, check=True).stdout
    crypto = [line.split("=>")[1].split()[0] for line in linked.splitlines() if "libcrypto" in line]
    assert all("corvane.libs" in path for path in crypto), f"{module.name} links {crypto}"

from corvane import Facebook, webhooks
from corvane.sandbox import Sandbox

body = b'{"object":"page","entry":[]}'
signature = "sha256=" + hmac.new(b"app-secret", body, hashlib.sha256).hexdigest()
assert webhooks.verify_request("app-secret", body, {"X-Hub-Signature-256": signature})
assert not webhooks.verify_request("other-secret", body, {"X-Hub-Signature-256": signature})


async def one_request() -> int:
    async with Sandbox() as sb:
        fb = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=sb.session())
        back = sb.consent(fb.login_url(redirect_uri="https://crm.example/cb", state="s"))
        code = parse_qs(urlsplit(back).query)["code"][0]
        token = (await fb.exchange_code(code, redirect_uri="https://crm.example/cb")).access_token
        return len(await fb.pages(token))


pages = asyncio.run(one_request())
assert pages > 0
print(f"corvane {corvane.__version__} from the wheel: {len(names)} modules import, its own "
      f"libcrypto, a webhook signature verified, {pages} Pages listed through the sandbox")
PY
env -i HOME="$place" PATH=/usr/bin:/bin "$place/venv/bin/python" -I -m corvane --help >/dev/null
