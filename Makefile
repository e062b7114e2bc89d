# Ambrel: one command to run the program, one to run every test.
#   make run ARGS="-l:5007:yes"     install what is missing, build, start the program
#   make test                       install what is missing, build, run the whole test suite
# Other targets: build, bench, test-asan, test-tsan, fuzz, install, package, clean.

BUILD      ?= build
JOBS       ?= $(shell nproc)
FUZZ_SECS  ?= 20
CMAKE_GEN  := -G Ninja
PULSE      := tests/support/with-pulse.sh

.PHONY: all setup setup-test configure build run test test-plain test-tsan test-asan fuzz bench install package clean

all: build

setup:
	@scripts/setup-deps.sh

setup-test:
	@scripts/setup-deps.sh --test

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: $(BUILD)/build.ninja

build: setup configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/src/app/ambrel $(ARGS)

# The whole suite: the plain build, then the link, socket and call tests under
# ThreadSanitizer, then every fuzz target for a bounded time.
test: setup-test
	$(MAKE) test-plain
	$(MAKE) test-tsan TSAN_LABELS=tsan
	$(MAKE) fuzz

test-plain: configure
	cmake --build $(BUILD) -j $(JOBS)
	$(PULSE) ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 600

# TSAN_LABELS selects a subset by ctest label (empty: everything built).
TSAN_LABELS ?=
# The CI subset needs no Qt: leave the application out of that build.
TSAN_APP = $(if $(TSAN_LABELS),-DAMBREL_BUILD_APP=OFF)
test-tsan: setup-test
	cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREL_SANITIZE=thread -DAMBREL_BUILD_BENCH=OFF $(TSAN_APP)
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(PULSE) ctest --test-dir build-tsan --output-on-failure -j $(JOBS) --timeout 900 $(if $(TSAN_LABELS),-L $(TSAN_LABELS))

test-asan: setup-test
	cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREL_SANITIZE=address -DAMBREL_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS="detect_leaks=1" $(PULSE) ctest --test-dir build-asan --output-on-failure -j $(JOBS) --timeout 900

fuzz: setup-test
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREL_FUZZ=ON -DAMBREL_BUILD_APP=OFF -DAMBREL_BUILD_BENCH=OFF
	cmake --build build-fuzz -j $(JOBS)
	scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECS)

bench: build
	@for b in $(BUILD)/bench/*; do [ -x "$$b" ] && [ -f "$$b" ] && [ "$${b##*/}" != pulse_floor ] && echo "== $$b" && "$$b"; done

install: build
	cmake --install $(BUILD)

# The Debian package ambrel_VERSION-REVISION_ARCH.deb, made by cpack in $(BUILD).
package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD) build-tsan build-asan build-fuzz
