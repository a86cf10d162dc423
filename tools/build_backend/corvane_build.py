"""corvane's PEP 517 build backend: meson-python's, with one addition to editable installs.

meson-python's editable wheel holds only an import hook (a meta path finder), which type
checkers do not run: mypy on a host project then finds no corvane at all. The editable wheel
built here also carries corvane-types.pth, naming the tree's python/ folder, where the stubs
and py.typed sit, so a type checker finds them as it finds them in an installed wheel. At run
time the import hook stays first in sys.meta_path and keeps serving every corvane module.
"""
from __future__ import annotations

import base64
import hashlib
import os
import pathlib
import zipfile
from typing import Any

from mesonpy import (  # noqa: F401 - the hooks a frontend calls, re-exported
    build_sdist,
    build_wheel,
    get_requires_for_build_editable,
    get_requires_for_build_sdist,
    get_requires_for_build_wheel,
)
from mesonpy import build_editable as _build_editable

_PTH = "corvane-types.pth"


def build_editable(wheel_directory: str, config_settings: dict[str, Any] | None = None,
                   metadata_directory: str | None = None) -> str:
    name = _build_editable(wheel_directory, config_settings, metadata_directory)
    _add_types_path(pathlib.Path(wheel_directory, name), pathlib.Path.cwd() / "python")
    return name


def _add_types_path(wheel: pathlib.Path, folder: pathlib.Path) -> None:
    content = (os.fspath(folder.resolve()) + "\n").encode()
    digest = base64.urlsafe_b64encode(hashlib.sha256(content).digest()).rstrip(b"=").decode()
    rewritten = wheel.with_suffix(".tmp")
    with zipfile.ZipFile(wheel) as old, zipfile.ZipFile(rewritten, "w", zipfile.ZIP_DEFLATED) as new:
        for item in old.infolist():
            data = old.read(item)
            if item.filename.endswith(".dist-info/RECORD"):
                data += f"{_PTH},sha256={digest},{len(content)}\n".encode()
            new.writestr(item, data)
        new.writestr(_PTH, content)
    rewritten.replace(wheel)
