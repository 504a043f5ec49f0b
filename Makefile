# The two commands of the README, and the longer runs. Each target installs what it needs
# (scripts/setup.sh), configures, builds and runs.
SHELL := /bin/bash
.PHONY: demo test test-linux test-asan test-tsan test-win32 setup bench reliability

demo:
	@scripts/setup.sh base
	@cmake --preset linux >/dev/null
	@cmake --build --preset linux
	@build/linux/ui/console/kestrel --simulate

test: test-linux test-asan test-tsan test-win32

test-linux test-asan test-tsan: test-%:
	@scripts/setup.sh base
	@cmake --preset $* >/dev/null
	@cmake --build --preset $*
	@ctest --preset $*

# The Windows program: cross-built with the native catalogue tools, then driven under Wine
# in a virtual display by the tests that the native tree registers for it.
test-win32:
	@scripts/setup.sh base windows
	@cmake --preset linux >/dev/null
	@cmake --build --preset linux
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32
	@cmake --preset linux -DKESTREL_WIN32_DIR=$(CURDIR)/build/win32 >/dev/null
	@ctest --preset win32

# Benchmarks: update time against the line's floor, CPU and memory (docs/performance.md).
# Builds only what it runs, and the Windows program where the cross compiler and Wine are
# installed; the runs take about two minutes, three real-time updates of 33 s each.
bench:
	@scripts/setup.sh base
	@cmake --preset linux >/dev/null
	@cmake --build --preset linux --parallel 2 --target kestrel-bench kestrel kestrel-vdev
	@if command -v i686-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then \
		cmake --preset win32 >/dev/null && cmake --build --preset win32; \
	else echo "bench: no mingw-w64 or Wine (scripts/setup.sh windows): Wine run left out"; fi
	@mkdir -p build/bench
	@build/linux/bench/kestrel-bench --out build/bench/results.json

# The long reliability runs: the fault campaign under ASan+UBSan, then every fuzz target
# for FUZZ_SECONDS each. Smaller: make reliability CAMPAIGN_CYCLES=1000 FUZZ_SECONDS=60
CAMPAIGN_CYCLES ?= 10000
CAMPAIGN_SEED ?= 1
FUZZ_SECONDS ?= 600

reliability:
	@scripts/setup.sh base fuzz
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan --target kestrel-campaign
	@ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		build/asan/kestrel-campaign --cycles $(CAMPAIGN_CYCLES) --seed $(CAMPAIGN_SEED)
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz
	@fuzz/run.sh $(FUZZ_SECONDS)
