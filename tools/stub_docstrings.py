"""Copies the runtime docstrings (what help() shows) into the .pyi stubs, wrapped, so that an
editor's hover shows the same text. Run after changing a docstring in C++ or adding an
operation to a stub:

    .venv/bin/python tools/stub_docstrings.py            # rewrite the stubs
    .venv/bin/python tools/stub_docstrings.py --check    # list stubs out of date, exit 1

Only docstrings are touched: a stub's lines, order and types stay as they are.
"""
from __future__ import annotations

import argparse
import ast
import importlib
import inspect
import sys
import textwrap
from pathlib import Path
from typing import Any, Iterator

STUBS = Path(__file__).resolve().parents[1] / "python" / "corvane"
WIDTH = 100
# Docstrings every object inherits: not worth repeating in a stub.
GENERIC = {object.__init__.__doc__, object.__new__.__doc__, type.__doc__, dict.__doc__,
           Exception.__doc__, Exception.__init__.__doc__}


def runtime_doc(owner: Any, name: str) -> str | None:
    try:
        value = owner.__dict__[name] if isinstance(owner, type) else getattr(owner, name)
    except (KeyError, AttributeError):
        return None
    doc = getattr(value, "__doc__", None)
    if isinstance(value, (staticmethod, classmethod)):
        doc = value.__func__.__doc__
    if not isinstance(doc, str) or not doc.strip() or doc in GENERIC:
        return None
    if isinstance(value, (str, int, float, tuple, list, dict, frozenset)):
        return None  # a constant's "docstring" is its type's
    return inspect_clean(doc)


def inspect_clean(doc: str) -> str:
    return inspect.cleandoc(doc)


def wrap(doc: str, indent: str) -> list[str]:
    """The docstring's lines: paragraphs re-wrapped to the width, indented blocks kept."""
    out: list[str] = []
    for block in doc.split("\n\n"):
        lines = block.splitlines()
        if out:
            out.append("")
        # Examples, lists and drawings keep their lines; prose is re-wrapped.
        if any(line.startswith((" ", "\t", "-", "*", "│", "├", "└")) for line in lines):
            out.extend(lines)
        else:
            out.extend(textwrap.wrap(" ".join(lines), WIDTH - len(indent) - 3,
                                     break_long_words=False, break_on_hyphens=False))
    return out


def quoted(doc: str, indent: str) -> str:
    lines = wrap(doc.replace("\\", "\\\\").replace('"""', '\\"\\"\\"'), indent)
    if len(lines) == 1 and len(indent) + len(lines[0]) + 6 <= WIDTH:
        return f'{indent}"""{lines[0]}"""'
    body = "\n".join(f"{indent}{line}" if line else "" for line in lines[1:])
    return f'{indent}"""{lines[0]}\n{body}\n{indent}"""' if body else f'{indent}"""{lines[0]}\n{indent}"""'


def targets(tree: ast.Module, module: Any) -> Iterator[tuple[ast.AST, str | None]]:
    """(node, runtime docstring) for the module, its classes and their functions."""
    yield tree, inspect_clean(module.__doc__) if module.__doc__ else None
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            cls = getattr(module, node.name, None)
            if not isinstance(cls, type):
                continue
            yield node, runtime_doc(module, node.name) if cls.__doc__ else None
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    if item.name.startswith("_") and item.name != "__init__":
                        continue
                    yield item, runtime_doc(cls, item.name)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) and not node.name.startswith("_"):
            yield node, runtime_doc(module, node.name)


def rewrite(path: Path) -> str:
    source = path.read_text()
    module = importlib.import_module(f"corvane.{path.stem}")
    tree = ast.parse(source)
    lines = source.splitlines()
    edits: list[tuple[int, int, list[str]]] = []  # (first line, last line) 0-based, new lines
    for node, doc in targets(tree, module):
        if not doc:
            continue
        body = node.body  # type: ignore[attr-defined]
        first = body[0] if body else None
        has_doc = (isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant)
                   and isinstance(first.value.value, str))
        if isinstance(node, ast.Module):
            if has_doc:
                edits.append((first.lineno - 1, first.end_lineno - 1, quoted(doc, "").splitlines()))
            else:
                edits.append((0, -1, quoted(doc, "").splitlines() + [""]))
            continue
        indent = " " * (node.col_offset + 4)  # type: ignore[attr-defined]
        if has_doc:
            edits.append((first.lineno - 1, first.end_lineno - 1,
                           quoted(doc, indent).splitlines()))
        elif isinstance(node, ast.ClassDef) and not (
            first is not None and first.lineno == node.lineno and len(body) == 1
        ):
            # A class with a body: the docstring goes first, then a blank line.
            at = first.lineno - 1 if first else node.end_lineno
            edits.append((at, at - 1, quoted(doc, indent).splitlines() + [""]))
        else:
            # `def f(...) -> T: ...` on its last line: the `...` becomes the docstring.
            last = node.end_lineno - 1  # type: ignore[attr-defined]
            if not lines[last].rstrip().endswith(": ..."):
                continue
            head = lines[last].rstrip()[: -len(" ...")]
            edits.append((last, last, [head] + quoted(doc, indent).splitlines()))
    for first_line, last_line, new in sorted(edits, key=lambda e: e[0], reverse=True):
        lines[first_line : last_line + 1] = new
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true")
    parser.add_argument("stubs", nargs="*", type=Path)
    args = parser.parse_args()
    stale = []
    for path in args.stubs or sorted(STUBS.glob("*.pyi")):
        if path.stem == "__init__":
            continue
        new = rewrite(path)
        if new != path.read_text():
            stale.append(path.name)
            if not args.check:
                path.write_text(new)
    if args.check and stale:
        print("stub docstrings out of date:", ", ".join(stale))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
