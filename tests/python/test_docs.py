"""The documentation keeps up with the code: every public operation of a client or module has
its entry on its page, every entry names a real operation, the stubs carry the docstrings that
help() shows, and the README leads to every page."""
from __future__ import annotations

import ast
import importlib
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"

# page -> (module, class whose own operations the page documents, or None for the module's).
PAGES = {
    "facebook.md": ("corvane.facebook", "Facebook"),
    "instagram.md": ("corvane.instagram", "Instagram"),
    "linkedin.md": ("corvane.linkedin", "LinkedIn"),
    "clients.md": ("corvane.http", "BaseClient"),
    "webhooks.md": ("corvane.webhooks", None),
    "leads.md": ("corvane.leads", None),
}


def documented(page: str) -> set[str]:
    text = (DOCS / page).read_text()
    return set(re.findall(r"^### `([A-Za-z_]\w*)", text, re.M))


def public(module_name: str, class_name: str | None) -> set[str]:
    module = importlib.import_module(module_name)
    if class_name is None:
        return {n for n in dir(module) if not n.startswith("_")}
    cls = getattr(module, class_name)
    # The operations the class itself defines (inherited ones have their own page) and the
    # constructor, documented under the class's name.
    own = {n for n in vars(cls) if not n.startswith("_") and callable(getattr(cls, n))}
    return own | {class_name}


@pytest.mark.parametrize("page", sorted(PAGES))
def test_each_page_documents_exactly_the_public_operations(page):
    module, cls = PAGES[page]
    expected = public(module, cls)
    written = documented(page)
    assert not expected - written, f"undocumented on {page}: {sorted(expected - written)}"
    assert not written - expected, f"documented but not public: {sorted(written - expected)}"


def test_readme_and_index_link_every_page():
    pages = {p.name for p in DOCS.glob("*.md")} - {"README.md"}
    index = (DOCS / "README.md").read_text()
    assert {p for p in pages if f"({p})" not in index} == set()
    assert "docs/README.md" in (ROOT / "README.md").read_text()
    # Relative links between pages resolve.
    for path in DOCS.glob("*.md"):
        for target in re.findall(r"\]\(([\w-]+\.md)(?:#[\w-]+)?\)", path.read_text()):
            assert (DOCS / target).exists(), f"{path.name} links to missing {target}"


def test_stub_docstrings_match_help():
    done = subprocess.run([sys.executable, str(ROOT / "tools" / "stub_docstrings.py"), "--check"],
                          capture_output=True, text=True, cwd=ROOT)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_only_bases_carry_the_docstrings_help_shows():
    # tools/stub_docstrings.py copies docstrings into the classes that exist at runtime; what a
    # stub-only base declares once is what an editor shows on every class below it, so it must
    # be what help() shows on each of them.
    stubs = {p.stem: ast.parse(p.read_text()) for p in (ROOT / "python" / "corvane").glob("*.pyi")}
    classes = {n.name: (stem, n) for stem, tree in stubs.items() for n in tree.body
               if isinstance(n, ast.ClassDef)}
    stub_only = {name for name, (_, n) in classes.items()
                 if any(ast.unparse(d).endswith("type_check_only") for d in n.decorator_list)}

    def stub_only_bases(name):
        for base in (ast.unparse(b) for b in classes[name][1].bases):
            if base in stub_only:
                yield base
                yield from stub_only_bases(base)

    checked = 0
    for name, (stem, _) in classes.items():
        runtime = getattr(importlib.import_module(f"corvane.{stem}"), name, None)
        for base in stub_only_bases(name) if runtime is not None else ():
            for item in classes[base][1].body:
                stub_doc = ast.get_docstring(item) if hasattr(item, "args") else None
                if stub_doc:
                    runtime_doc = inspect.getdoc(getattr(runtime, item.name))
                    assert stub_doc.split() == runtime_doc.split(), f"{name}.{item.name}"
                    checked += 1
    assert checked


async def test_pagination_own_list_example_runs_in_the_sandbox():
    from urllib.parse import parse_qs, urlsplit

    from corvane.facebook import Facebook
    from corvane.sandbox import Sandbox
    from corvane.sandbox.world import PAGE_STORE

    section = (DOCS / "pagination.md").read_text().split("## Your own lists", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    body = "".join(f"    {line}\n" for line in code.splitlines())
    printed = []
    async with Sandbox() as sb:
        fb = Facebook(app_id=sb.app_id, app_secret=sb.app_secret, session=sb.session())
        back = sb.consent(fb.login_url(redirect_uri="https://crm.example/cb", state="s"))
        user = await fb.exchange_code(parse_qs(urlsplit(back).query)["code"][0],
                                      redirect_uri="https://crm.example/cb")
        [page] = [p for p in await fb.pages(user.access_token) if p.id == PAGE_STORE]
        scope = {"fb": fb, "page_id": page.id, "page_token": page.access_token,
                 "app_secret": sb.app_secret, "print": lambda *a: printed.append(a)}
        exec(f"async def example():\n{body}    return items\n", scope)
        items = await scope["example"]()
    assert items and [a[0] for a in printed] == [item["id"] for item in items]
    assert set(items[0]) <= {"id", "message", "permalink_url"}
