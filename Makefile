# The two commands of the README, `make demo` and `make test`, and the service's
# `make install` (PREFIX, DESTDIR) and `make package` (Debian packages in $(BUILD)).
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local

.PHONY: deps configure build programs test demo bench install package fuzz soak screenshots clean \
        deps-windows windows test-windows package-windows

deps:
	@bash scripts/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Only the programs, not the tests: what demo, install and package need.
programs: configure
	cmake --build $(BUILD) -j $(JOBS) --target kassiro_programs

demo: programs
	@bash scripts/demo.sh $(BUILD)

install: programs
	cmake --install $(BUILD) --prefix $(PREFIX)

package: programs
	cd $(BUILD) && cpack -G DEB

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

# Windows: the same project cross-built with mingw-w64 into $(BUILD_WIN)/bin/*.exe, its
# unit tests run under Wine in a prefix of their own, and the portable zip.
BUILD_WIN ?= build-win
WIN_CMAKE_FLAGS ?=

deps-windows:
	@bash scripts/install-deps.sh windows

$(BUILD_WIN)/CMakeCache.txt: | deps-windows
	cmake -S . -B $(BUILD_WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake \
	      -DKASSIRO_BENCH=OFF $(WIN_CMAKE_FLAGS)

windows: deps-windows $(BUILD_WIN)/CMakeCache.txt
	cmake --build $(BUILD_WIN) -j $(JOBS)

test-windows: windows
	@bash scripts/wine-prefix.sh $(BUILD_WIN) \
	  ctest --test-dir $(BUILD_WIN) --output-on-failure -j $(JOBS)

package-windows: deps-windows $(BUILD_WIN)/CMakeCache.txt
	cmake --build $(BUILD_WIN) -j $(JOBS) --target kassiro_zip

clean:
	rm -rf $(BUILD) $(BUILD_WIN)
