"""The repository carries every sample its tests read: parametrized tests over an empty or
missing folder would pass without testing anything."""
import re

import pytest
from conftest import SAMPLES_DIR


def listed():
    text = (SAMPLES_DIR / "SOURCES.md").read_text(encoding="utf-8")
    return set(re.findall(r"^\| ((?:payloads|leads|errors)/[^ |]+\.json) \|", text, re.M))


@pytest.mark.parametrize("folder, at_least", [("payloads", 40), ("leads", 5), ("errors", 3)])
def test_sample_folders_are_in_the_repository(folder, at_least):
    assert len(list((SAMPLES_DIR / folder).glob("*.json"))) >= at_least


def test_every_sample_is_listed_with_its_source():
    present = {p.relative_to(SAMPLES_DIR).as_posix() for p in SAMPLES_DIR.glob("*/*.json")}
    assert present == listed()
