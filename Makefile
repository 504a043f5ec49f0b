# The two commands of the README, and the longer runs. Each target installs what it needs
# (scripts/setup.sh), configures, builds and runs.
SHELL := /bin/bash
.PHONY: demo test test-linux test-asan test-tsan setup reliability

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
