# Thin entry over CMake presets. ./kvz installs the Debian packages first; these targets assume
# they are there.
.PHONY: all build build-ppc build-asan demo test test-host test-ppc test-asan bench campaign format clean

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

# Boots the demo switch on a fresh demo board: with the host launcher, then with the PowerPC
# launcher under qemu.
demo: build-ppc build
	rm -rf $(DEMO_BOARD)
	build/bin/kvzsim init $(DEMO_BOARD)
	@echo "== the host launcher =="
	build/bin/kvzsim boot $(DEMO_BOARD) --time-scale 4
	@echo "== the PowerPC launcher, under qemu =="
	build/bin/kvzsim boot $(DEMO_BOARD) --time-scale 4 --target ppc

# Everything: the PowerPC tree first, since the host scenario tests also boot its launcher.
test: build-ppc build build-asan
	ctest --preset ppc
	ctest --preset host
	ctest --preset asan

bench: build
	bench/run

# Power cuts at every write of four installs (long; not part of the tests). TARGET=ppc boots
# the PowerPC launcher; CAMPAIGN_FLAGS="--quick" takes a stride through the flash writes.
TARGET ?= host
campaign: build $(if $(filter ppc,$(TARGET)),build-ppc)
	tests/campaign/power-cut --target $(TARGET) $(CAMPAIGN_FLAGS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf build build-ppc build-asan
