# Entry points: setup (idempotent), test, demo, bench. Everything runs with Debian's python3.
PY := .venv/bin/python
MODULES := errors models http endpoints policy crypto facebook leads webhooks

.PHONY: setup test test-cpp test-python stubtest test-asan bench demo clean

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

# The Python tests against modules built with ASan/UBSan (the interpreter itself is not).
test-asan: setup
	tools/sanitized-tree.sh
	PYTHONPATH=build/asan-pkg PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  $(PY) -m pytest tests/python -p no:cacheprovider

demo: setup
	$(PY) examples/offline_demo.py

bench: setup
	$(PY) bench/run.py

clean:
	rm -rf build .venv
