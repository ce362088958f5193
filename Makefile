# Entry points: `make demo` and `make test` (see README). Both bootstrap what is missing.
SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
JOBS ?= $(shell nproc)
export WINEPREFIX := $(CURDIR)/build/wineprefix
export WINEDEBUG := -all
export WINEARCH := win32
export WINEDLLOVERRIDES := mscoree,mshtml=

.PHONY: all bootstrap build native win32 asan tsan fuzz bench bench-win32 test test-native \
        test-asan test-tsan test-win32 format format-check lint demo dist clean soak

all: build

bootstrap:
	@scripts/bootstrap

build: native win32

native: bootstrap
	@cmake --preset native >/dev/null
	@cmake --build build/native -j $(JOBS)

win32: bootstrap
	@cmake --preset win32 >/dev/null
	@cmake --build build/win32 -j $(JOBS)

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
bench-win32: win32
	@cmake --build build/win32 -j $(JOBS) --target scale_bench
	@wineserver -p 2>/dev/null || true; trap 'wineserver -k || true' EXIT; \
	 scripts/wine-run cmd.exe /c exit </dev/null >/dev/null 2>&1 || true; \
	 cd build/win32/bin && ../../../scripts/wine-run scale_bench.exe --dll kmpparser.dll
	@if [ -x build/native/bin/kmp_frame_bench ]; then \
	     build/native/bin/kmp_frame_bench --benchmark_filter=ScanAndDecode 2>/dev/null | \
	     grep ScanAndDecode | sed 's/^/native: /'; \
	 else echo "native: build/native/bin/kmp_frame_bench not built (make native)"; fi

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
# Left out: kmptool's interrupted read, whose Ctrl+C the sanitizer's signal handling can hold
# back until the test's time runs out (seen once in CI; it runs in every other tree).
test-tsan: tsan
	@cd build/native-tsan && ctest --output-on-failure -j $(JOBS) \
	     -E '^Kmptool\.ReadEndsInOrderWhenInterruptedOrWhenThePortGoesAway$$'

# One persistent wineserver for the whole run: every test program then starts quickly. The first
# program of a session starts Wine's background services, and the first one that creates a window
# starts its desktop process; both inherit that program's output and would keep CTest waiting on
# the pipes. Starting them here with no output attached avoids that.
test-win32: win32
	@wineserver -p 2>/dev/null || true; trap 'wineserver -k || true' EXIT; \
	 scripts/wine-run cmd.exe /c exit </dev/null >/dev/null 2>&1 || true; \
	 scripts/wine-run build/win32/bin/hostsim.exe --dll build/win32/bin/kmpparser.dll info \
	     </dev/null >/dev/null 2>&1 || true; \
	 cd build/win32 && ctest --output-on-failure -j $(JOBS)

# The slow tier, not part of `make test`: the soak with injected faults under Wine, checked by the
# run itself. SOAK_SECONDS and SOAK_SEED choose its length and its faults.
SOAK_SECONDS ?= 600
SOAK_SEED ?= $(shell echo $$((RANDOM + 1)))
soak: win32
	@wineserver -p 2>/dev/null || true; trap 'wineserver -k || true' EXIT; \
	 scripts/wine-run build/win32/bin/hostsim.exe --dll build/win32/bin/kmpparser.dll \
	     run --soak --seconds $(SOAK_SECONDS) --seed $(SOAK_SEED)

# The fuzz targets are built and their corpora replayed under clang's sanitizers too (the native
# trees replay them through GCC's), so a change that only clang rejects is caught here.
test: bootstrap format-check lint
	@$(MAKE) --no-print-directory test-native
	@$(MAKE) --no-print-directory test-asan
	@$(MAKE) --no-print-directory test-tsan
	@$(MAKE) --no-print-directory fuzz
	@$(MAKE) --no-print-directory test-win32

demo: bootstrap
	@$(MAKE) --no-print-directory native win32
	@scripts/demo

# The release package from a build tree of its own, configured afresh, so nothing left over from
# earlier builds can reach it: dist/kmpparser-<project version>.zip.
dist: bootstrap
	@rm -rf build/dist
	@cmake --preset win32 -B build/dist -DBUILD_TESTING=OFF >/dev/null
	@cmake --build build/dist -j $(JOBS) --target dist_package
	@mkdir -p dist && cp build/dist/package/kmpparser-*.zip dist/
	@ls dist/kmpparser-*.zip

clean:
	rm -rf build/native build/native-asan build/native-tsan build/native-fuzz build/win32
