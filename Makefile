# The two commands of the README, and the longer runs. Each target installs what it needs
# (scripts/setup.sh), configures, builds and runs.
SHELL := /bin/bash
.PHONY: demo test test-linux test-asan test-tsan setup

demo:
	@scripts/setup.sh base
	@cmake --preset linux >/dev/null
	@cmake --build --preset linux
	@build/linux/ui/console/kestrel --simulate

test: test-linux test-asan test-tsan

test-linux test-asan test-tsan: test-%:
	@scripts/setup.sh base
	@cmake --preset $* >/dev/null
	@cmake --build --preset $*
	@ctest --preset $*
