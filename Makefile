# Thin wrapper over CMake. `make run` and `make test` install what is missing first.
BUILD   ?= build
ASAN    ?= build-asan
BENCH   ?= build-bench
FUZZ    ?= build-fuzz
PACKAGE ?= build-package
JOBS    ?= $(shell nproc)
# The tests mostly wait (every fault row's job for a second at its end, encoders, strace), so
# four of them a core run side by side: on 2 cores -j8 took 23-24 s, -j4 39 s, -j2 80 s,
# and -j12 or -j16 no less than -j8.
TEST_JOBS ?= $(shell echo $$(( $$(nproc) * 4 )))
PREFIX  ?= /usr/local
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test bench check fuzz format clean screenshot install package corpus \
	mutants

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/src/ui/blendora

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS)

# `make install PREFIX=~/.local`; DESTDIR is honoured as well.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Real audio and non-audio files, fetched once into a cache, judged against reference decoders.
# A failed fetch stops here instead of judging an empty folder.
# Groups made afresh at each run from a new seed (CORPUS_SEED=N makes a run again).
corpus: build
	dir=$$(scripts/fetch-corpus) && \
	seed=$${CORPUS_SEED:-$$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')} && \
	echo "corpus: seed $$seed (CORPUS_SEED=$$seed make corpus makes this run again)" && \
	fresh=$$(mktemp -d) && trap 'rm -rf "$$fresh"' EXIT && \
	scripts/fresh-corpus "$$dir" "$$fresh" "$$seed" && \
	$(BUILD)/tests/corpus_check "$$dir" "$$fresh"

# The Debian package, built in a tree of its own with the prefix /usr and Debian's hardening
# flags, then checked by lintian: any error or warning fails the target.
HARDENING = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
LINTIAN_FLAGS ?= --display-info --fail-on error,warning $(if $(filter 0,$(shell id -u)),--allow-root)
package: deps
	cmake -S . -B $(PACKAGE) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBLENDORA_TESTS=OFF \
	  -DCMAKE_CXX_FLAGS="$$($(HARDENING) CXXFLAGS) $$($(HARDENING) CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$($(HARDENING) LDFLAGS)"
	cmake --build $(PACKAGE) -j $(JOBS)
	rm -f $(PACKAGE)/blendora_*.deb
	cd $(PACKAGE) && cpack -G DEB
	@dpkg-deb --field $(PACKAGE)/blendora_*.deb Package Version Depends
	lintian $(LINTIAN_FLAGS) $(PACKAGE)/blendora_*.deb
	@echo "lintian: $$(basename $(PACKAGE)/blendora_*.deb) passes"

# Each deliberate fault of tests/mutants.txt, alone, in a copy under build-mutants/, built and
# run against the tests it names; fails when one is not caught. Slow, so not part of `make test`.
mutants: deps
	scripts/mutants --jobs $(JOBS)

check: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DBLENDORA_SANITIZE=ON
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ctest --output-on-failure -j $(JOBS)
	fuzz/build.sh $(FUZZ)
	$(FUZZ)/fuzz_engine $(FUZZ)/seeds/*
	$(FUZZ)/fuzz_merge $(FUZZ)/merge-seeds/*

# Each fuzzer for FUZZ_SECONDS, growing its corpus in $(FUZZ)/corpus.
FUZZ_SECONDS ?= 60
fuzz: deps
	fuzz/build.sh $(FUZZ)
	$(FUZZ)/fuzz_engine -max_total_time=$(FUZZ_SECONDS) -malloc_limit_mb=512 -artifact_prefix=$(FUZZ)/ $(FUZZ)/corpus $(FUZZ)/seeds
	$(FUZZ)/fuzz_merge -max_total_time=$(FUZZ_SECONDS) -malloc_limit_mb=256 -artifact_prefix=$(FUZZ)/ $(FUZZ)/merge-corpus $(FUZZ)/merge-seeds

bench: deps
	cmake -S . -B $(BENCH) -DCMAKE_BUILD_TYPE=Release -DBLENDORA_TESTS=OFF -DBLENDORA_BENCH=ON
	cmake --build $(BENCH) -j $(JOBS)
	bench/run-all $(BENCH)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

screenshot: build
	scripts/screenshot $(BUILD)/src/ui/blendora docs/screenshot.png

clean:
	rm -rf $(BUILD) $(ASAN) $(BENCH) $(FUZZ) $(PACKAGE) build-mutants
