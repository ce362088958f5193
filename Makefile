# Entry points: `make demo` and `make test` (see README). Both bootstrap what is missing.
SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
JOBS ?= $(shell nproc)
# The Windows build this machine tests on: win32 where it runs 32-bit programs, else win64
# (scripts/windows-road; ZOL_RUNS_32BIT=no takes the 64-bit road anywhere). Each script that
# starts Wine picks the loader and prefix of the build it runs (scripts/wine-env).
ROAD = $(shell scripts/windows-road)

.PHONY: all bootstrap build native win32 win64 windows asan tsan fuzz bench bench-win32 \
        bench-win64 bench-line test test-native test-asan test-tsan test-win32 test-win64 format \
        format-check lint demo dist clean soak

all: build

bootstrap:
	@scripts/bootstrap

build: native windows

native: bootstrap
	@cmake --preset native >/dev/null
	@cmake --build build/native -j $(JOBS)

win32: bootstrap
	@cmake --preset win32 >/dev/null
	@cmake --build build/win32 -j $(JOBS)

# The 64-bit tree: the same sources for x86-64, tested under wine64 where 32-bit programs do not
# run, and built everywhere so it cannot rot.
win64: bootstrap
	@cmake --preset win64 >/dev/null
	@cmake --build build/win64 -j $(JOBS)

# Both Windows trees: the 32-bit one is the DLL that ships (building it runs nothing).
windows: win32 win64

asan: bootstrap
	@cmake --preset native-asan >/dev/null
	@cmake --build build/native-asan -j $(JOBS)

tsan: bootstrap
	@cmake --preset native-tsan >/dev/null
	@cmake --build build/native-tsan -j $(JOBS)

# The libFuzzer targets with clang. Only they are built: the rest of that tree (tests, tools)
# is already built with GCC, and clang would only double the work.
fuzz: bootstrap
	@cmake --preset native-fuzz >/dev/null
	@cmake --build build/native-fuzz -j $(JOBS) --target fuzz_targets
	@scripts/fuzz-replay

bench: native
	@for b in build/native/bin/*_bench; do [ -x "$$b" ] && "$$b"; done

# The scale bench under Wine (see docs/live-polling.md), then the native scan and decode cost of
# the same response for comparison. Never part of `make test`: benchmarks are not timed tests.
# bench-win32 measures the DLL that ships; where 32-bit programs do not run it says so and
# measures the 64-bit build instead.
bench-win32:
	@if [ "$(ROAD)" = win64 ]; then \
	     echo "bench: the 32-bit build cannot run here, $$(scripts/windows-road --why)"; \
	     $(MAKE) --no-print-directory bench-win64; \
	 else $(MAKE) --no-print-directory bench-tree TREE=win32; fi

bench-win64:
	@$(MAKE) --no-print-directory bench-tree TREE=win64

bench-tree: $(TREE)
	@cmake --build build/$(TREE) -j $(JOBS) --target scale_bench
	@echo "bench: the scale bench of build/$(TREE)"
	@cd build/$(TREE)/bin && ../../../scripts/with-wine .. ../../../scripts/wine-run \
	     scale_bench.exe --dll kmpparser.dll
	@if [ -x build/native/bin/kmp_frame_bench ]; then \
	     build/native/bin/kmp_frame_bench --benchmark_filter=ScanAndDecode 2>/dev/null | \
	     grep ScanAndDecode | sed 's/^/native: /'; \
	 else echo "native: build/native/bin/kmp_frame_bench not built (make native)"; fi

# The line bench under Wine (bench/line_use_bench.sh): eight meters always due on one line paced
# at 1200 baud with 50 ms meter latency, and on one that answers at once; turnaround and busy
# share as hostsim measures them. The road's tree; SECONDS per run (default 60).
bench-line: $(ROAD)
	@bench/line_use_bench.sh build/$(ROAD) $(or $(SECONDS),60)

format:
	@git ls-files -z --cached --others --exclude-standard '*.cpp' '*.h' | xargs -0 -r clang-format -i

format-check:
	@git ls-files -z '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror

lint:
	@scripts/lint

test-native: native
	@cd build/native && ctest --output-on-failure -j $(JOBS)

test-asan: asan
	@cd build/native-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

# Every native test again under ThreadSanitizer: a race it reports makes the test exit non-zero.
test-tsan: tsan
	@cd build/native-tsan && ctest --output-on-failure -j $(JOBS)

# Each Windows tree's tests under its own Wine (scripts/test-windows): the 32-bit tree where the
# machine runs 32-bit programs, the 64-bit one anywhere. On a machine without 32-bit support
# test-win32 runs what needs no 32-bit program and names every test it could not run.
test-win32: win32 native
	@scripts/test-windows build/win32 $(JOBS)

test-win64: win64 native
	@scripts/test-windows build/win64 $(JOBS)

# The slow tier, not part of `make test`: the soak with injected faults under Wine, checked by the
# run itself, on the build this machine tests on. SOAK_SECONDS and SOAK_SEED choose its length
# and its faults.
SOAK_SECONDS ?= 600
SOAK_SEED ?= $(shell echo $$((RANDOM + 1)))
soak: bootstrap
	@$(MAKE) --no-print-directory $(ROAD)
	@echo "soak: build/$(ROAD), as $$(scripts/windows-road --why)"
	@scripts/with-wine build/$(ROAD) scripts/wine-run build/$(ROAD)/bin/hostsim.exe \
	     --dll build/$(ROAD)/bin/kmpparser.dll run --soak --seconds $(SOAK_SECONDS) \
	     --seed $(SOAK_SEED)

# The fuzz targets are built and their corpora replayed under clang's sanitizers too (the native
# trees replay them through GCC's), so a change that only clang rejects is caught here.
test: bootstrap format-check lint
	@$(MAKE) --no-print-directory test-native
	@$(MAKE) --no-print-directory test-asan
	@$(MAKE) --no-print-directory test-tsan
	@$(MAKE) --no-print-directory fuzz
	@$(MAKE) --no-print-directory windows
	@$(MAKE) --no-print-directory test-$(ROAD)
	@if [ "$(ROAD)" = win64 ]; then $(MAKE) --no-print-directory test-win32; fi
	@echo "make test: the Windows tests ran on the $(if $(filter win64,$(ROAD)),64,32)-bit build (build/$(ROAD))"
	@echo "make test: $$(scripts/windows-road --why)"

demo: bootstrap
	@$(MAKE) --no-print-directory native $(ROAD)
	@scripts/demo build/$(ROAD)

# The release package from a build tree of its own, configured afresh, so nothing left over from
# earlier builds can reach it: dist/kmpparser-<project version>.zip.
dist: bootstrap
	@rm -rf build/dist
	@cmake --preset win32 -B build/dist -DBUILD_TESTING=OFF >/dev/null
	@cmake --build build/dist -j $(JOBS) --target dist_package
	@mkdir -p dist && cp build/dist/package/kmpparser-*.zip dist/
	@ls dist/kmpparser-*.zip
	@if [ "$(ROAD)" = win64 ]; then \
	     scripts/check-package build/dist/package/kmpparser-*.zip \
	         "$$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/dist/CMakeCache.txt)" \
	         docs/guide.md || [ $$? -eq 77 ]; \
	 else echo "dist: the package's guide commands are checked by win32.PackageRunsOnItsOwn (make test)"; fi

clean:
	rm -rf build/native build/native-asan build/native-tsan build/native-fuzz build/win32 build/win64
