# The project's entry points.  Each sets up a fresh machine itself with what it needs
# (scripts/bootstrap PURPOSE), so nothing else needs to be run first.  The builds made
# for `make test` (and so CI) treat warnings as errors; a plain `cmake` configure does
# not (KOLVEX_WERROR).
PREFIX ?= /usr/local
BUILD ?= build/release
ASAN_BUILD ?= build/asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
DEV_FLAGS = -DKOLVEX_WERROR=ON

.PHONY: all bootstrap bootstrap-test build test test-release test-asan demo install bench fuzz \
        format check-format lint clean

all: build

bootstrap:
	@scripts/bootstrap build

bootstrap-test:
	@scripts/bootstrap test

# Reconfigured when this file changes, so that a build directory made before a flag
# was added here gets it.
$(BUILD)/build.ninja: Makefile
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_FLAGS) $(CMAKE_FLAGS)

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: test-release test-asan

test-release: bootstrap-test build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

$(ASAN_BUILD)/build.ninja: Makefile
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOLVEX_SANITIZE=ON $(DEV_FLAGS) \
	  $(CMAKE_FLAGS)

test-asan: bootstrap-test $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

bench:
	@scripts/bootstrap bench
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOLVEX_TESTS=OFF -DKOLVEX_BENCH=ON
	cmake --build build/bench -j $(JOBS)
	@scripts/bench build/bench

fuzz:
	@scripts/bootstrap fuzz
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKOLVEX_TESTS=OFF -DKOLVEX_FUZZ=ON
	cmake --build build/fuzz -j $(JOBS)
	@echo "fuzzers are in build/fuzz/fuzz/; run one with: build/fuzz/fuzz/fuzz_json -max_total_time=60"

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

check-format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror

lint: $(BUILD)/build.ninja
	git ls-files 'src/*.cpp' | xargs clang-tidy -p $(BUILD) --quiet

clean:
	rm -rf build
