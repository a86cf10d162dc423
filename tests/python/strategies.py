"""Host objects that lie, and hypothesis strategies built from them: containers whose
truthiness, length and iteration disagree, str and dict subclasses, values whose text form
raises, and texts with lone surrogates. Shared by the fuzzing tests."""
from __future__ import annotations

from collections.abc import Mapping

from hypothesis import strategies as st


class TruthyEmptyList(list):
    def __bool__(self):
        return True


class LongList(list):
    def __len__(self):
        return super().__len__() + 5


class ShortList(list):
    def __len__(self):
        return 0


class HollowDict(dict):
    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


class SubStr(str):
    pass


class BadText:
    def __str__(self):
        raise RuntimeError("no text form")

    def __repr__(self):  # hypothesis prints the examples it tries
        return "BadText()"


class LyingMapping(Mapping):
    """A mapping whose look-ups, length and iteration each tell a different story: get()
    finds what it holds, iteration yields a name it does not hold, len() is 0, and items()
    yields pairs of any shape."""

    def __init__(self, held, shapes=()):
        self.held, self.shapes = dict(held), list(shapes)

    def __getitem__(self, name):
        return self.held[name]

    def __iter__(self):
        return iter(["not-there"])

    def __len__(self):
        return 0

    def items(self):
        return list(self.held.items()) + self.shapes

    def __repr__(self):
        return f"LyingMapping({self.held!r}, {self.shapes!r})"


# BadText's own RuntimeError passes through; the entry points themselves raise only these two.
ALLOWED = (TypeError, ValueError, RuntimeError)


def liars(inner):
    return st.one_of(
        inner,
        inner.map(lambda xs: TruthyEmptyList(xs) if isinstance(xs, list) else xs),
        inner.map(lambda xs: LongList(xs) if isinstance(xs, list) else xs),
        inner.map(lambda xs: ShortList(xs) if isinstance(xs, list) else xs),
        inner.map(lambda d: HollowDict(d) if isinstance(d, dict) else d),
    )


# Lone surrogates come in through json.loads("\"\\ud800\"") and through surrogateescape'd
# headers: every text strategy mixes some in.
lone_surrogates = st.sampled_from(["\ud800", "\udfff", "a\udc80b", "\ud83d"])
texts = st.one_of(st.text(max_size=8), lone_surrogates)
scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), texts,
                    texts.map(SubStr), st.builds(BadText))
KEYS = st.one_of(st.sampled_from(["name", "values", "field", "value", "id", "entry",
                                  "changes", "messaging", "object", "leadgen_id", "time"]),
                texts)


def containers(children, keys=KEYS):
    return liars(st.one_of(st.lists(children, max_size=4),
                           st.dictionaries(keys, children, max_size=5)))


values = st.recursive(scalars, containers, max_leaves=25)
