# Entry points: setup (idempotent), test, test-oldest, test-asan, test-leaks, fuzz, wheel, demo,
# bench.
# .venv holds the newest supported interpreter with corvane installed editable (changed C++ is
# rebuilt on import); .venv-oldest the oldest supported interpreter and dependencies.
PY := .venv/bin/python
BIN := $(CURDIR)/.venv/bin
MODULES := errors models http endpoints policy crypto facebook instagram linkedin leads webhooks
PYTEST := -m pytest tests/python
# ccache keys on paths relative to the tree, so a clone elsewhere (a CI checkout) reuses what an
# earlier build compiled; without hashing the working folder, debug builds' objects are shared too.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true

.PHONY: setup setup-oldest setup-leaks test test-cpp test-python test-python-both test-uvloop stubtest docs-check \
        test-oldest test-asan test-leaks fuzz \
        wheel test-wheel bench demo clean

setup:
	@tools/setup.sh

test: setup test-cpp stubtest test-python-both docs-check

# The suite on asyncio's loop and on uvloop's side by side (tools/together.sh tells why).
test-python-both:
	@tools/together.sh "asyncio: $(PY) $(PYTEST)" \
	  "uvloop: $(PY) $(PYTEST) --uvloop -p no:cacheprovider"

test-cpp:
	@[ -f build/cpp/build.ninja ] || PATH="$(BIN):$$PATH" meson setup build/cpp -Dtests=true -Dmodules=false >/dev/null
	PATH="$(BIN):$$PATH" meson test -C build/cpp --print-errorlogs

stubtest:
	$(PY) -m mypy.stubtest --concise $(addprefix corvane.,$(MODULES))

test-python:
	$(PY) $(PYTEST)

# The documentation and the typed surface: every public operation documented, the stubs'
# docstrings current, the examples clean under mypy --strict.
docs-check:
	$(PY) -m pytest tests/python/test_docs.py tests/python/test_typing.py
	$(PY) -m mypy --strict examples/

# The same suite on uvloop's event loop.
test-uvloop:
	$(PY) $(PYTEST) --uvloop

# The oldest end of the supported range: Python 3.10 with the oldest dependencies.
setup-oldest: setup
	@tools/setup-oldest.sh

test-oldest: setup-oldest
	.venv-oldest/bin/python $(PYTEST)

# The Python tests against modules built with ASan/UBSan (the interpreter itself is not).
test-asan: setup
	tools/sanitized-tree.sh
	@# -S: without site, .venv's editable loader stays inactive and the sanitized tree is used.
	PYTHONPATH="build/asan-pkg:$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')" \
	  PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  $(PY) -S $(PYTEST) -p no:cacheprovider

# References and memory blocks per iteration of every public path, on Debian's debug interpreter
# (.venv-leaks, modules built in build/leaks), against a plain aiohttp request in the same run.
setup-leaks: setup
	@tools/setup-leaks.sh

test-leaks: setup-leaks
	.venv-leaks/bin/python -m pytest tests/leaks -p no:cacheprovider -p no:logging -o addopts="" \
	  -q -rA -s -W ignore::pytest.PytestConfigWarning

# libFuzzer targets for the pure C++ core (tests/fuzz), built with clang, ASan and UBSan in
# build/fuzz and run FUZZ_SECONDS (default 20) each on a copy of their corpus. Needs no .venv.
fuzz:
	@tools/setup-fuzz.sh
	tools/fuzz.sh

# An sdist and one wheel per supported interpreter on this machine, in dist/.
wheel: setup
	tools/wheels.sh

# The newest wheel installed into a fresh venv outside the source tree.
test-wheel: wheel
	tools/test-wheel.sh

demo: setup
	$(PY) -m corvane demo

bench: setup
	@$(PY) -c "import orjson" 2>/dev/null || $(PY) -m pip install -q "orjson>=3.9"
	$(PY) bench/run.py

clean:
	rm -rf build dist .venv .venv-oldest .venv-leaks
