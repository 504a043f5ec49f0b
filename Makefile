# The two commands of the README, and the longer runs. Each target installs what it needs
# (scripts/setup.sh), configures, builds and runs.
SHELL := /bin/bash
.PHONY: demo test test-linux test-asan test-tsan test-win32 setup bench

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
# Builds only what it runs; about two minutes, of which one is two real-time updates.
bench:
	@scripts/setup.sh base
	@cmake --preset linux >/dev/null
	@cmake --build --preset linux --parallel 2 --target kestrel-bench kestrel kestrel-vdev
	@mkdir -p build/bench
	@build/linux/bench/kestrel-bench --out build/bench/results.json
