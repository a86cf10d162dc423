"""The package's own namespace: the everyday names resolved lazily from their modules."""
from __future__ import annotations

import importlib
import subprocess
import sys

import pytest

import corvane


def test_import_loads_no_extension_module_and_no_aiohttp():
    code = (
        "import sys, corvane\n"
        "loaded = sorted(m for m in sys.modules if m.startswith(('corvane.', 'aiohttp')))\n"
        "assert not loaded, loaded\n"
        # Asking for a webhook name loads the webhook module, still without the HTTP stack.
        "from corvane import verify_request\n"
        "assert 'corvane.webhooks' in sys.modules\n"
        "assert 'aiohttp' not in sys.modules and 'corvane.http' not in sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize("name", sorted(corvane._NAMES))
def test_each_name_is_the_modules_own_object(name):
    module = importlib.import_module(corvane._NAMES[name])
    assert getattr(corvane, name) is getattr(module, name)
    assert name in dir(corvane)


def test_star_import_and_unknown_names():
    namespace: dict[str, object] = {}
    exec("from corvane import *", namespace)
    # The error kind of that name would hide the builtin in the importing module.
    assert "PermissionError" not in namespace
    assert set(corvane.__all__) <= set(namespace)
    assert corvane.PermissionError is not PermissionError
    with pytest.raises(AttributeError, match="no attribute 'Facebok'"):
        corvane.Facebok  # noqa: B018
    with pytest.raises(ImportError):
        exec("from corvane import normalise", {})
    assert isinstance(corvane.__version__, str)
