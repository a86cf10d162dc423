# Entry points: setup (idempotent), test, demo, bench. Everything runs with Debian's python3.
PY := .venv/bin/python
MODULES := errors models http endpoints policy crypto facebook leads webhooks

.PHONY: setup test test-cpp test-python stubtest bench demo clean

setup:
	@tools/setup.sh

test: setup test-cpp stubtest test-python

test-cpp:
	@[ -d build/cpp ] || meson setup build/cpp -Dtests=true -Dmodules=false >/dev/null
	meson test -C build/cpp --print-errorlogs

stubtest:
	$(PY) -m mypy.stubtest --concise $(addprefix corvane.,$(MODULES))

test-python:
	$(PY) -m pytest tests/python

bench: setup
	$(PY) bench/run.py

clean:
	rm -rf build .venv
