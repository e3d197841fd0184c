# SPDX-License-Identifier: GPL-3.0-or-later
# The two commands of the README:
#   make run   installs what is missing, builds, starts the program
#   make test  installs what is missing, builds, runs every test (also in
#              the AddressSanitizer + UBSan build) and a short fuzzing round
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD := build/release
ASAN := build/asan
FUZZ := build/fuzz
FUZZ_SECONDS ?= 10

.PHONY: all deps build run test test-release test-asan fuzz fuzz-long bench bench-palette soak package clean

all: build

deps:
	./scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake --preset release >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

run: build
	./scripts/run-program $(BUILD)

test: deps test-release test-asan fuzz

test-release: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan:
	[ -f $(ASAN)/CMakeCache.txt ] || cmake --preset sanitizers >/dev/null
	cmake --build $(ASAN) -j$(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp \
	  ctest --output-on-failure -j$(JOBS)

fuzz:
	[ -f $(FUZZ)/CMakeCache.txt ] || cmake --preset fuzz >/dev/null
	cmake --build $(FUZZ) -j$(JOBS)
	./scripts/run-fuzzers $(FUZZ) $(FUZZ_SECONDS)

# A long fuzzing round (FUZZ_SECONDS per target, default 300 here) whose
# new coverage is merged into fuzz/corpus/, to be committed.
fuzz-long:
	[ -f $(FUZZ)/CMakeCache.txt ] || cmake --preset fuzz >/dev/null
	cmake --build $(FUZZ) -j$(JOBS)
	./scripts/run-fuzzers $(FUZZ) $(if $(filter command line environment,$(origin FUZZ_SECONDS)),$(FUZZ_SECONDS),300) --keep $(if $(FUZZ_CPU),--cpu)

# Speed and memory against GraphicsMagick, ImageMagick, libjpeg-turbo, libpng
# and giflib: installs its tools and inputs, builds build/bench, prints one
# table (bench/compare).
bench: deps
	./bench/compare --jobs $(JOBS)

# How close Standard and Best keep photographs at 235 colours (PSNR, SSIM,
# CIEDE2000) and how long they take, against ImageMagick and pngquant
# (bench/palette).
bench-palette: deps
	./bench/palette --jobs $(JOBS)

# A long session, in one kvo process per step and in one offscreen window:
# times, resident memory and the tracked tables (bench/soak). A few minutes,
# so apart from bench.
soak: deps
	./bench/soak --jobs $(JOBS)

# The Debian package of the release build, in build/package/
# (kvopanoramics_<version>_<arch>.deb); scripts/check-package checks it.
package: build
	cpack --config $(BUILD)/CPackConfig.cmake -B $(CURDIR)/build/package

clean:
	rm -rf build
