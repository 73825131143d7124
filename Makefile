# The project's entry points.  `make test` and `make demo` set up a fresh machine
# themselves (scripts/bootstrap), so nothing else needs to be run first.
PREFIX ?= /usr/local
BUILD ?= build/release
ASAN_BUILD ?= build/asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all bootstrap build test test-release test-asan demo install bench fuzz format check-format lint clean

all: build

bootstrap:
	@scripts/bootstrap

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: bootstrap test-release test-asan

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOLVEX_SANITIZE=ON $(CMAKE_FLAGS)

test-asan: bootstrap $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

bench: bootstrap
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOLVEX_TESTS=OFF -DKOLVEX_BENCH=ON
	cmake --build build/bench -j $(JOBS)
	@scripts/bench build/bench

fuzz: bootstrap
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
