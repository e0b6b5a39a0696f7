# The two commands of the README: `make demo` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60

.PHONY: deps configure build test demo bench fuzz soak screenshots clean

deps:
	@bash scripts/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	@bash scripts/demo.sh $(BUILD)

bench: build
	@bash scripts/bench.sh $(BUILD)
	@bash scripts/bench-tray.sh $(BUILD)

# Every fuzz target for FUZZ_SECONDS seconds, in a clang build of its own (build-fuzz).
fuzz: deps
	@FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/fuzz.sh

# A bounded run under load, faults and restarts (scripts/soak.sh); not part of `make test`.
SOAK_SECONDS ?= 600
soak: build
	@SOAK_SECONDS=$(SOAK_SECONDS) bash scripts/soak.sh $(BUILD)

# The operator's guide's pictures, taken from the tray program under Xvfb.
screenshots: build
	@bash scripts/screenshots.sh $(BUILD)

clean:
	rm -rf $(BUILD)
