"""The operation tables in the C++ modules are the one place an operation's signature is
written: the stubs must say the same, and every parameter must refuse a wrong type at the call
in one message form."""
from __future__ import annotations

import ast
import importlib
import inspect
import pathlib
import re

import pytest

import corvane

STUBS = pathlib.Path(corvane.__file__).parent
MODULES = ("crypto", "endpoints", "facebook", "instagram", "leads", "linkedin", "webhooks")

# A value each stub type accepts, and one it refuses.
ACCEPTED = {"str": "1", "str | None": "t", "int": 1, "int | None": 1, "bool": True,
            "list[str] | tuple[str, ...] | None": ["a"], "Mapping[str, Any]": {},
            "Mapping[str, str]": {}, "bytes | bytearray | memoryview": b"", "dict[str, Any]": {},
            "Sequence[BatchRequest]": []}
REFUSED = {"str": 5, "str | None": 5, "int": "1", "int | None": "1", "bool": 1,
           "list[str] | tuple[str, ...] | None": "leadgen", "Mapping[str, Any]": 5,
           "Mapping[str, str]": 5, "bytes | bytearray | memoryview": "body", "WebhookEvent": 5,
           "Sequence[BatchRequest]": 5}


def _rows():
    for name in MODULES:
        module = importlib.import_module(f"corvane.{name}")
        for owner, table in getattr(module, "_OPERATIONS", {}).items():
            for row in table:
                yield pytest.param(name, owner, row, id=f"{owner}.{row[0]}")


ROWS = list(_rows())


def stub_scopes(module: str, owner: str) -> list[ast.Module | ast.ClassDef]:
    """Where the stubs of `owner`'s operations are: the module itself when owner is "", else class
    `owner` and the stub-only (type_check_only) bases it inherits from, which exist for typing
    alone, so their methods are the class's own at run time. A base that exists at run time
    lends nothing: its operations are its own rows."""
    tree = ast.parse((STUBS / f"{module}.pyi").read_text())
    if not owner:
        return [tree]
    scopes: list[ast.Module | ast.ClassDef] = []
    for cls in (n for n in ast.walk(tree) if isinstance(n, ast.ClassDef) and n.name == owner):
        scopes.append(cls)
        for base in (b.id for b in cls.bases if isinstance(b, ast.Name)):
            imports = [i.module for i in tree.body if isinstance(i, ast.ImportFrom)
                       and any(a.name == base for a in i.names)]
            home = imports[0].rpartition(".")[2] if imports else module
            if not (STUBS / f"{home}.pyi").exists():
                continue
            inherited = stub_scopes(home, base)
            if inherited and any(ast.unparse(d).endswith("type_check_only")
                                 for d in inherited[0].decorator_list):
                scopes += inherited
    return scopes


def stub_function(module: str, owner: str, operation: str) -> ast.FunctionDef | ast.AsyncFunctionDef:
    """The stub of `operation`: a method of class `owner`, or a module function when owner is ""."""
    for scope in stub_scopes(module, owner):
        for item in scope.body:
            if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)) and item.name == operation:
                return item
    raise AssertionError(f"{owner or module}.{operation} is not in {module}.pyi")


def runtime(module: str, owner: str, operation: str):
    scope = importlib.import_module(f"corvane.{module}")
    if owner:
        scope = getattr(scope, owner)
    return getattr(scope, operation)


@pytest.mark.parametrize("module, owner, row", ROWS)
def test_stub_and_table_agree(module, owner, row):
    operation, params, returns, is_coroutine = row
    fn = stub_function(module, owner, operation)
    args = fn.args
    takes_self = owner and "staticmethod" not in map(ast.unparse, fn.decorator_list)
    positional = args.args[1:] if takes_self else args.args
    stub = [(a.arg, ast.unparse(a.annotation), False) for a in positional]
    stub += [(a.arg, ast.unparse(a.annotation), True) for a in args.kwonlyargs]
    assert [(p[0], p[1], p[3]) for p in params] == stub
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    defaults += list(args.kw_defaults)
    for (name, _, fallback, _), default in zip(params, defaults):
        stub_default = None if default is None else ast.unparse(default)
        assert stub_default in (fallback, "..." if fallback else None), name
    assert isinstance(fn, ast.AsyncFunctionDef) == is_coroutine
    if returns is not None:
        assert ast.unparse(fn.returns) == returns
    # The runtime signature is the table's too.
    names = list(inspect.signature(runtime(module, owner, operation)).parameters)
    assert (names[1:] if takes_self else names) == [p[0] for p in params]


@pytest.mark.parametrize("module, owner, row", ROWS)
def test_every_parameter_refuses_a_wrong_type_in_one_form(module, owner, row):
    operation, params, _, _ = row
    function = runtime(module, owner, operation)
    if owner:  # binding and checks need no state
        cls = getattr(importlib.import_module(f"corvane.{module}"), owner)
        function = getattr(cls.__new__(cls), operation)
    good = {name: ACCEPTED[stub] for name, stub, _, _ in params if stub in ACCEPTED}
    for name, stub, _, _ in params:
        if stub not in REFUSED:
            continue
        bad = REFUSED[stub]
        with pytest.raises(TypeError) as info:
            function(**{**good, name: bad})
        assert re.fullmatch(rf"{operation}: {name} must be .+, not {type(bad).__name__}",
                            str(info.value)), str(info.value)


SENTINEL = "SENTINELtoken0123456789"


@pytest.mark.parametrize("module, owner, row", ROWS)
def test_a_refused_value_never_shows_a_token(module, owner, row):
    # A wrong id or path is often a whole URL pasted in, token and all: the message quotes it
    # masked.
    operation, params, _, _ = row
    function = runtime(module, owner, operation)
    if owner:
        cls = getattr(importlib.import_module(f"corvane.{module}"), owner)
        function = getattr(cls.__new__(cls), operation)
    good = {name: ACCEPTED[stub] for name, stub, _, _ in params if stub in ACCEPTED}
    for name, stub, _, _ in params:
        if stub != "str":
            continue
        try:
            answer = function(**{**good, name: f"https://graph.facebook.com/1?access_token={SENTINEL}"})
        except Exception as error:  # noqa: BLE001 - whatever refuses it must not quote it
            assert SENTINEL not in str(error)
        else:
            if hasattr(answer, "close"):
                answer.close()


def test_batch_refuses_a_url_without_showing_its_token():
    from corvane.facebook import Facebook

    client = Facebook(app_id="1", app_secret="s")
    url = f"https://graph.facebook.com/me?access_token={SENTINEL}"
    with pytest.raises(ValueError, match=r"^batch: requests\[0\]\['path'\] must be .+, not ") as info:
        client.batch([{"method": "GET", "path": url}], "t")
    assert SENTINEL not in str(info.value)
