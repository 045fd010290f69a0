# Thin front end over CMake. `make` builds build/vardo, fully static against musl; `make check`
# builds and runs every test.
BUILD ?= build
JOBS ?= 2

PREFIX ?= /usr/local

.PHONY: all check demo install package preamble fuzz bench microbench clean

# The configure lines live in CMakePresets.json; -B keeps BUILD as the tree. Building the tool
# alone configures a tree only where none stands yet, and then leaves the tests out (they need
# GoogleTest, which make check installs): a tree that make check configured keeps its tests.
CONFIGURE = cmake --preset $(1) -B $(2) $(3) >/dev/null
TOOL_TREE = test -f $(BUILD)/CMakeCache.txt || $(call CONFIGURE,release,$(BUILD),-DVARDO_TESTS=OFF)

# The sub-makes that cmake --build starts would name every directory they enter and leave.
MAKEFLAGS += --no-print-directory

# The most common first command sets up as make demo does: what the build needs is installed
# when it is missing.
all:
	@tools/install-packages demo
	@$(TOOL_TREE)
	cmake --build $(BUILD) --target vardo vardo_docs -j $(JOBS)

# The preamble for another processor: `make preamble ARCH=aarch64` writes build/preamble-aarch64,
# as static as build/vardo. `vardo -p build/preamble-aarch64 FILES` builds archives that run there.
preamble:
	@test -n "$(ARCH)" || { echo "make preamble ARCH=aarch64: name the processor" >&2; exit 1; }
	@test "$(ARCH)" != "$$(uname -m)" || { echo "$(BUILD)/vardo is the $(ARCH) preamble" >&2; exit 1; }
	@tools/install-packages preamble
	@$(TOOL_TREE)
	cmake --build $(BUILD) --target preamble-$(ARCH) -j $(JOBS)

# A newcomer's first command: install what the build needs when it is missing, build the tool,
# quietly unless the build fails, then run the README's tour with the example installer in
# $(BUILD)/demo.
demo:
	@tools/install-packages demo
	@mkdir -p $(BUILD)
	@{ $(TOOL_TREE) && \
	  cmake --build $(BUILD) --target vardo -j $(JOBS); } > $(BUILD)/demo-build.log 2>&1 || \
	  { cat $(BUILD)/demo-build.log; exit 1; }
	@examples/installer/build.sh $(BUILD)/vardo $(BUILD)/demo

# Installs bin/vardo, share/man/man1/vardo.1 and every preamble built by `make preamble`
# (lib/vardo/preamble-ARCH) below PREFIX (and DESTDIR, when set).
install: all
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package of the tool, its manual page and the preambles built so far:
# $(BUILD)/vardo_VERSION_ARCH.deb.
package: all
	cd $(BUILD) && cpack -G DEB >/dev/null
	@ls $(BUILD)/vardo_*.deb

# Every test runs twice: against the release build, and with AddressSanitizer and
# UndefinedBehaviorSanitizer, where any report fails the run (a report ends a process with status
# 86). The AArch64 preamble is built and tested in the release tree, the fuzz targets' seed
# corpora are replayed in the sanitizer tree. Both halves run even when the first fails; the last
# line names every skipped test and why (tools/check). Tests that take more than about ten
# seconds are labelled slow: while working, leave them out with `cd build && ctest -LE slow` (or
# `ctest --preset quick`).
check:
	@tools/check $(BUILD) $(JOBS)

# libFuzzer targets, each run for FUZZ_SECONDS on the seeds in tests/fuzz/corpus; what they
# find goes to $(BUILD)-fuzz/corpus. They need clang.
FUZZ_SECONDS ?= 60
fuzz:
	@command -v clang++ >/dev/null || { echo "make fuzz: the fuzz targets need clang++" >&2; exit 1; }
	$(call CONFIGURE,fuzz,$(BUILD)-fuzz)
	cmake --build $(BUILD)-fuzz --target fuzz_targets -j $(JOBS)
	for t in tests/fuzz/corpus/*; do \
	  t=$${t##*/} && mkdir -p $(BUILD)-fuzz/corpus/$$t && \
	  $(BUILD)-fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=1 -print_final_stats=1 \
	    $(BUILD)-fuzz/corpus/$$t tests/fuzz/corpus/$$t || exit 1; \
	done

# The side-by-side comparison with gzip, pigz, libdeflate, dd and cat, also written to
# bench/RESULTS.md; BENCH_FLAGS adds compare's options (-L for the 512 MiB corpus, -b EARLIER for
# an earlier build). `make microbench` runs the Google Benchmarks of the CRC and the inflater.
BENCH_FLAGS ?=
bench:
	$(call CONFIGURE,bench,$(BUILD)-bench)
	cmake --build $(BUILD)-bench -j $(JOBS)
	$(BUILD)-bench/compare $(BENCH_FLAGS) -o bench/RESULTS.md $(BUILD)-bench/vardo $(BUILD)-bench/work

microbench:
	$(call CONFIGURE,bench,$(BUILD)-bench)
	cmake --build $(BUILD)-bench -j $(JOBS)
	for b in $(BUILD)-bench/bench_*; do $$b; done

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-asan $(BUILD)-fuzz
