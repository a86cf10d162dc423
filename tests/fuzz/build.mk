# Builds every libFuzzer target (one per tests/fuzz/*.cpp) against the core sources, all with
# AddressSanitizer and UndefinedBehaviorSanitizer, into build/fuzz/bin. Used by tools/fuzz.sh;
# run from the repository root: make -f tests/fuzz/build.mk -j2
CXX := $(shell command -v ccache >/dev/null && echo "ccache ")clang++-14
OUT := build/fuzz
# UBSan's reports abort instead of printing and going on, so that the fuzzer counts them.
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=undefined
CXXFLAGS := -std=c++20 -O1 -gline-tables-only -fno-omit-frame-pointer -Wall -Wextra $(SANITIZE) -Isrc -Itests/fuzz

CORE_OBJECTS := $(patsubst src/core/%.cpp,$(OUT)/core/%.o,$(wildcard src/core/*.cpp))
TARGETS := $(patsubst tests/fuzz/%.cpp,$(OUT)/bin/%,$(wildcard tests/fuzz/*.cpp))

all: $(TARGETS)

# The flags live in this file: a change to it rebuilds everything. The core is built with
# coverage feedback too, so that the fuzzer steers by what the core code does.
$(OUT)/core/%.o: src/core/%.cpp tests/fuzz/build.mk
	@mkdir -p $(@D)
	$(CXX) $(CXXFLAGS) -fsanitize=fuzzer-no-link -MMD -MP -c $< -o $@

$(OUT)/targets/%.o: tests/fuzz/%.cpp tests/fuzz/build.mk
	@mkdir -p $(@D)
	$(CXX) $(CXXFLAGS) -fsanitize=fuzzer-no-link -MMD -MP -c $< -o $@

$(OUT)/bin/%: $(OUT)/targets/%.o $(CORE_OBJECTS)
	@mkdir -p $(@D)
	$(CXX) $(CXXFLAGS) -fsanitize=fuzzer $^ -lcrypto -o $@

.PHONY: all
.SECONDARY:
-include $(wildcard $(OUT)/core/*.d $(OUT)/targets/*.d)
