# The project's entry points.  Each sets up a fresh machine itself with what it needs
# (scripts/bootstrap PURPOSE), so nothing else needs to be run first.  The builds made
# for `make test` (and so CI) treat warnings as errors; a plain `cmake` configure does
# not (KOLVEX_WERROR).
PREFIX ?= /usr/local
BUILD ?= build/release
ASAN_BUILD ?= build/asan
# What `make demo`, `make install` and `make package` build: Release, without the test
# suite, so neither GoogleTest nor the tests' compile time is needed to run kolvex.
DIST_BUILD ?= build/dist
JOBS ?= $(shell nproc)
# Tests at twice the cores: many of them wait (on a held lock, a hung git, a slow
# server, the processes they spawn) rather than compute, and a waiting test should not
# hold a core's slot.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
CMAKE_FLAGS ?=
# The builds made here compile the sources a few files at a time and link with lld
# (scripts/bootstrap installs it): most of a cold `make test` is compiling and
# linking two builds of the same sources.
DEV_FLAGS = -DKOLVEX_WERROR=ON -DKOLVEX_UNITY=ON -DKOLVEX_LINKER=lld
# clang-tidy reads every source's own compile command, which a batched build has
# not got: its configure is a plain one of its own (it builds nothing).
LINT_BUILD ?= build/lint
# Debug information is line tables only (-g1): file and line in every backtrace, in
# gdb and in the sanitizers' reports, where full -g makes an optimised compile half
# as long again.  For locals in gdb:
#   make build CMAKE_FLAGS='-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g -DNDEBUG"'
RELEASE_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"

# Every build here goes through ccache (scripts/bootstrap installs it).  Its base_dir
# is this checkout, so that clones in other folders share cache entries, and the
# directory is left out of the hash, so the debug builds share them too (their debug
# info then names the first clone's directory).  Set through the environment, never
# in the user's ccache.conf; a launcher already in the environment wins.
export CMAKE_CXX_COMPILER_LAUNCHER ?= ccache
export CMAKE_C_COMPILER_LAUNCHER ?= ccache
export CCACHE_BASEDIR ?= $(CURDIR)
export CCACHE_NOHASHDIR ?= 1

.PHONY: all bootstrap bootstrap-test bootstrap-demo build test test-release test-asan \
        test-package demo dist install uninstall package bench fuzz format check-format lint \
        lint-layers clean

all: build

bootstrap:
	@scripts/bootstrap build

bootstrap-test:
	@scripts/bootstrap test

bootstrap-demo:
	@scripts/bootstrap demo

# Reconfigured when this file changes, so that a build directory made before a flag
# was added here gets it.  The bootstrap comes first (order only) even under make -j:
# the configure needs the compiler and ccache it installs.
$(BUILD)/build.ninja: Makefile | bootstrap-test
	cmake -S . -B $(BUILD) -G Ninja $(RELEASE_FLAGS) $(DEV_FLAGS) $(CMAKE_FLAGS)

build: bootstrap-test $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The include order is checked first: it takes a moment, where the builds take minutes.
test: lint-layers test-release test-package test-asan

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS)

# The .deb put through dpkg: install, use, remove.  Made from the test build, which
# installs the same files as `make package`'s Release build (the tests are never
# installed; cpack strips), so that `make test` builds the sources twice, not three
# times.
test-package: build
	cd $(BUILD) && cpack -G DEB -B packages >/dev/null
	tests/package/deb_check $(BUILD)/packages/*.deb

# At -O1, not Debug's -O0: the sanitizer suite spends its time running the tests, each
# of which spawns kolvex, and unoptimised sanitized code is the slowest part of that.
# Assertions stay on (no NDEBUG); line tables as in the release build.
$(ASAN_BUILD)/build.ninja: Makefile | bootstrap-test
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOLVEX_SANITIZE=ON $(DEV_FLAGS) \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" -DCMAKE_C_FLAGS_DEBUG="-g1 -O1" $(CMAKE_FLAGS)

test-asan: bootstrap-test $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(TEST_JOBS)

$(DIST_BUILD)/build.ninja: Makefile | bootstrap-demo
	cmake -S . -B $(DIST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOLVEX_TESTS=OFF $(CMAKE_FLAGS)

dist: bootstrap-demo $(DIST_BUILD)/build.ninja
	cmake --build $(DIST_BUILD) -j $(JOBS)

demo: dist
	@scripts/demo $(DIST_BUILD)

# Stripped; DESTDIR is honoured.  install_manifest.txt lists what went where, which
# is what `make uninstall` removes.
install: dist
	cmake --install $(DIST_BUILD) --prefix $(PREFIX) --strip

uninstall:
	@scripts/uninstall $(DIST_BUILD)/install_manifest.txt

package: dist
	cd $(DIST_BUILD) && cpack -B packages
	@ls -1 $(DIST_BUILD)/packages/*.deb $(DIST_BUILD)/packages/*.tar.gz

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

$(LINT_BUILD)/build.ninja: Makefile | bootstrap-test
	cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

lint: lint-layers $(LINT_BUILD)/build.ninja
	git ls-files 'src/*.cpp' | xargs clang-tidy -p $(LINT_BUILD) --quiet

# No #include runs from a lower layer to a higher one (the order is in ARCHITECTURE.md
# and in the table at the top of scripts/check-layers).
lint-layers:
	@scripts/check-layers

clean:
	rm -rf build
