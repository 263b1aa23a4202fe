# Thin entry over CMake presets. ./kvz installs the Debian packages first; these targets assume
# they are there.
.PHONY: all build build-ppc build-asan build-fuzz demo test test-host test-ppc test-asan bench \
        fuzz fuzz-ci fuzz-merge campaign format clean package system-board

DEMO_BOARD ?= build/demo-board

all: build

build:
	cmake --preset host >/dev/null
	cmake --build --preset host

build-ppc:
	cmake --preset ppc >/dev/null
	cmake --build --preset ppc

build-asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan

build-fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz

# Boots the demo switch on a fresh demo board: with the host launcher, then with the PowerPC
# launcher under qemu.
demo: build-ppc build
	rm -rf $(DEMO_BOARD)
	build/bin/kvzsim init $(DEMO_BOARD)
	@echo "== the host launcher =="
	build/bin/kvzsim boot $(DEMO_BOARD) --time-scale 4
	@echo "== the PowerPC launcher, under qemu =="
	build/bin/kvzsim boot $(DEMO_BOARD) --time-scale 4 --target ppc

# The system board's kernel and busybox, built once and cached (a few minutes the first time),
# before the tests, so that their build does not share the machine with the timed scenarios.
system-board:
	tools/kvzsim/system/build-kernel >/dev/null
	tools/kvzsim/system/build-busybox >/dev/null

# Everything: the PowerPC tree first, since the host scenario tests also boot its launcher.
test: build-ppc build build-asan system-board
	ctest --preset ppc
	ctest --preset host
	ctest --preset asan
	$(MAKE) --no-print-directory fuzz-ci

# Fuzzing (tests/fuzz): each target runs for FUZZ_SECONDS over its seed corpus, two at a time.
# What a run finds goes into build-fuzz/corpus/NAME (the seeds stay as they are; fuzz-merge adds
# the inputs that reach new code to them); crashes, leaks and time-outs into build-fuzz/findings.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := records install env line_editor yesno xmodem mgmt_ip
FUZZ_FLAGS := -timeout=4 -close_fd_mask=3 -print_final_stats=1

fuzz: build-fuzz
	@$(MAKE) --no-print-directory -j2 $(FUZZ_TARGETS:%=fuzz-run-%)

fuzz-ci:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=20

fuzz-run-%:
	@mkdir -p build-fuzz/corpus/$* build-fuzz/findings
	@ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer build-fuzz/bin/fuzz_$* $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) \
	  -artifact_prefix=build-fuzz/findings/$*- build-fuzz/corpus/$* tests/fuzz/corpus/$* \
	  >build-fuzz/fuzz-$*.log 2>&1 || { tail -n 60 build-fuzz/fuzz-$*.log; exit 1; }
	@echo "fuzz_$*: $$(grep -E '^#[0-9]+[[:space:]]+DONE' build-fuzz/fuzz-$*.log | tail -n 1)"

fuzz-merge: build-fuzz
	for t in $(FUZZ_TARGETS); do \
	  build-fuzz/bin/fuzz_$$t -merge=1 -close_fd_mask=3 tests/fuzz/corpus/$$t build-fuzz/corpus/$$t \
	    || exit 1; done

bench: build
	bench/run

# The host tools as a Debian package in build/ (with the PowerPC launcher for kvzsim --target ppc).
package: build-ppc build
	cd build && cpack -G DEB

# Power cuts at every write of four installs (long; not part of the tests). TARGET=ppc boots
# the PowerPC launcher; CAMPAIGN_FLAGS="--stride 16" takes a stride through the flash writes.
TARGET ?= host
campaign: build $(if $(filter ppc,$(TARGET)),build-ppc)
	cd tests/scenario && PYTHONDONTWRITEBYTECODE=1 pytest-3 -m slow \
	  test_power_cut.py --kind $(TARGET) $(CAMPAIGN_FLAGS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf build build-ppc build-asan build-fuzz
