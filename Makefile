# make test  - set up this machine (Debian 12, as root), build the dependencies and both builds, and
#              run every test tier inside private network namespaces.
# make check - the fast loop, as any user: the native build and its unit tests (a few minutes).
# make demo  - the engine on simulators: a phone found on the test network streams into a virtual
#              camera; snapshots, logs and a summary go to out/demo/ (scripts/demo.sh).
# make demo-usb - the same with an Android phone on the cable, reached through the debug bridge
#              stand-in; out/demo-usb/.
# make bench - the video path's benchmarks, native and under Wine (figures only, no pass or fail);
#              out/bench/summary.json and plots.
# make soak  - an hour of four phones with faults at random against four cameras, native and under
#              Wine; memory, handles and threads sampled (out/soak/). SOAK_MINUTES, SOAK_SEED.
# make campaign - an hour of host operations and phone and road faults drawn from a seed against four
#              cameras and phones on three roads, natively and under Wine, with what a host and the
#              phones observe checked all along (out/campaign/). CAMPAIGN_MINUTES, CAMPAIGN_SEED.
# make dist  - the release for host developers from the Windows build: out/dist/
#              kavex-engine-<version>-win32.zip, its symbols archive and their sha256 (scripts/dist.sh).
# make fuzz  - every libFuzzer target for FUZZ_SECONDS (default 180) each, in the test network
#              (scripts/fuzz.sh); crashes go to build/fuzz-artifacts/ and fail the run.
SHELL := /bin/bash
BUILD := build
CACHE ?= /var/cache/kavex-engine
export KAVEX_CACHE := $(CACHE)
JOBS ?= 2

.PHONY: test check setup deps build build-win32 build-native demo demo-usb dist bench soak campaign fuzz clean

test: build
	scripts/netns-run.sh -- scripts/run-tests.sh

setup:
	scripts/setup-host.sh

$(BUILD)/deps-prefixes.txt: setup deps/*.sh
	@mkdir -p $(BUILD)
	deps/build-all.sh > $@.tmp && mv $@.tmp $@

deps: setup $(BUILD)/deps-prefixes.txt

build: build-win32 build-native

# The Windows tests use the native phone simulator, so the native build comes first.
# The builds are the presets of CMakePresets.json (build/<preset>); the Windows build reads the
# dependencies' prefixes from build/deps-prefixes.txt.
build-win32: deps build-native
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j $(JOBS)

build-native: setup
	for preset in native native-asan native-tsan; do \
	  cmake --preset $$preset >/dev/null && cmake --build --preset $$preset -j $(JOBS) || exit 1; \
	done

# The fast loop, as any user (no root, apt or test network; the packages `make setup` installs must
# be there): the native build and its unit tests (ctest -L unit), inside a network namespace of the
# user's own that holds only loopback, so that discovery never sees this machine's network.
check:
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS)
	scripts/check.sh

demo: build
	scripts/netns-run.sh -- scripts/demo.sh

demo-usb: build
	scripts/netns-run.sh -- scripts/demo.sh --usb

# The release is made from the product's own build, build/win32 (RelWithDebInfo: -O2 and debug
# information, which goes to the symbols archive): no second build, and only the three programs
# it ships are brought up to date.
dist: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j $(JOBS) --target engine kavex-host camera-viewer
	scripts/dist.sh --build $(BUILD)/win32 --out out/dist

# The benchmark programs alone, in the folders and with the settings of `make build`; then, in the
# test network, natively and under Wine: one camera against bare FFmpeg (video_bench), four cameras
# and the idle placeholder (bench/run_scale_scenarios.sh). Each writes its figures as JSON into
# out/bench/<tier>/; bench/plot.py gathers them into out/bench/summary.json and draws the plots.
# BENCH_ARGS (video_bench): e.g. --frames 120 --runs 3. SCALE_BENCH_ARGS (scale_bench): e.g. --seconds 40.
BENCH_ARGS ?=
SCALE_BENCH_ARGS ?=
# The realistic streams the benchmarks decode (bench/make-bench-streams.sh; made once into the cache).
BENCH_STREAMS ?= /var/cache/kavex-engine/bench-streams
BENCH_OUT := out/bench
bench: deps
	bench/make-bench-streams.sh $(BENCH_STREAMS)
	cmake --preset native >/dev/null
	cmake --build $(BUILD)/native -j $(JOBS) --target video_bench scale_bench phone-sim
	cmake --preset win32 >/dev/null
	cmake --build $(BUILD)/win32 -j $(JOBS) --target video_bench scale_bench
	@rm -rf $(BENCH_OUT) && mkdir -p $(BENCH_OUT)/native $(BENCH_OUT)/win32 $(abspath $(BUILD))/native/bench-settings
	@echo "=== one camera, native ==="
	scripts/netns-run.sh --no-wine -- env KAVEX_SETTINGS_DIR=$(abspath $(BUILD))/native/bench-settings \
	  bench/run_video_bench.sh $(BUILD)/native/bin/video_bench --clips $(BENCH_STREAMS) \
	  --json $(BENCH_OUT)/native/video.json $(BENCH_ARGS)
	@echo "=== one camera, win32 under Wine ==="
	scripts/netns-run.sh -- bench/run_video_bench.sh $(BUILD)/win32/bin/video_bench.exe --clips Z:$(BENCH_STREAMS) \
	  --json Z:$(CURDIR)/$(BENCH_OUT)/win32/video.json $(BENCH_ARGS)
	@echo "=== four cameras and the idle placeholder, native ==="
	scripts/netns-run.sh --no-wine -- env KAVEX_SETTINGS_DIR=$(abspath $(BUILD))/native/bench-settings \
	  bench/run_scale_scenarios.sh $(BUILD)/native/bin/phone-sim $(BUILD)/native/bin/scale_bench \
	  tests/fixtures $(BENCH_STREAMS) $(BENCH_OUT)/native $(SCALE_BENCH_ARGS)
	@echo "=== four cameras and the idle placeholder, win32 under Wine ==="
	scripts/netns-run.sh -- bench/run_scale_scenarios.sh $(BUILD)/native/bin/phone-sim \
	  $(BUILD)/win32/bin/scale_bench.exe tests/fixtures $(BENCH_STREAMS) $(BENCH_OUT)/win32 $(SCALE_BENCH_ARGS)
	bench/plot.py $(BENCH_OUT)

# The soak program alone, in the folders and with the settings of `make build`; then an hour (or
# SOAK_MINUTES) natively and an hour under Wine, each in the test network, a sample a minute.
# SOAK_SEED repeats a run's faults (its seed is printed); SOAK_TIERS picks native and/or win32.
SOAK_MINUTES ?= 60
SOAK_SEED ?=
SOAK_TIERS ?= native win32
soak: deps
	cmake --preset native >/dev/null
	cmake --build $(BUILD)/native -j $(JOBS) --target soak phone-sim
	cmake --preset win32 >/dev/null
	$(if $(filter win32,$(SOAK_TIERS)),cmake --build $(BUILD)/win32 -j $(JOBS) --target soak)
	@mkdir -p $(abspath $(BUILD))/native/soak-settings
	$(if $(filter native,$(SOAK_TIERS)),SOAK_SEED=$(SOAK_SEED) scripts/netns-run.sh --no-wine -- \
	  env KAVEX_SETTINGS_DIR=$(abspath $(BUILD))/native/soak-settings \
	  tests/soak/run_soak.sh $(BUILD)/native/bin/phone-sim $(BUILD)/native/bin/soak tests/fixtures out/soak/native \
	  --minutes $(SOAK_MINUTES) --sample-seconds 60)
	$(if $(filter win32,$(SOAK_TIERS)),SOAK_SEED=$(SOAK_SEED) scripts/netns-run.sh -- \
	  tests/soak/run_soak.sh $(BUILD)/native/bin/phone-sim $(BUILD)/win32/bin/soak.exe tests/fixtures out/soak/win32 \
	  --minutes $(SOAK_MINUTES) --sample-seconds 60)

# The campaign program and its simulators, in the folders and with the settings of `make build`; then
# an hour (or CAMPAIGN_MINUTES) natively and an hour under Wine, each in the test network. Each tier
# draws its own seed (printed) unless CAMPAIGN_SEED gives one; CAMPAIGN_TIERS picks native and/or win32.
CAMPAIGN_MINUTES ?= 60
CAMPAIGN_SEED ?=
CAMPAIGN_TIERS ?= native win32
campaign: deps
	cmake --preset native >/dev/null
	cmake --build $(BUILD)/native -j $(JOBS) --target campaign phone-sim usbmuxd-sim adb-sim
	cmake --preset win32 >/dev/null
	$(if $(filter win32,$(CAMPAIGN_TIERS)),cmake --build $(BUILD)/win32 -j $(JOBS) --target campaign)
	@mkdir -p $(abspath $(BUILD))/native/campaign-settings
	$(if $(filter native,$(CAMPAIGN_TIERS)),CAMPAIGN_SEED=$(CAMPAIGN_SEED) scripts/netns-run.sh --no-wine -- \
	  env KAVEX_SETTINGS_DIR=$(abspath $(BUILD))/native/campaign-settings \
	  tests/campaign/run_campaign.sh $(BUILD)/native/bin/phone-sim $(BUILD)/native/bin/campaign \
	  $(BUILD)/native/bin/usbmuxd-sim $(BUILD)/native/bin/adb-sim/adb tests/fixtures out/campaign/native \
	  --minutes $(CAMPAIGN_MINUTES))
	$(if $(filter win32,$(CAMPAIGN_TIERS)),CAMPAIGN_SEED=$(CAMPAIGN_SEED) scripts/netns-run.sh -- \
	  tests/campaign/run_campaign.sh $(BUILD)/native/bin/phone-sim $(BUILD)/win32/bin/campaign.exe \
	  $(BUILD)/native/bin/usbmuxd-sim $(BUILD)/win32/bin/adb-sim/adb.exe tests/fixtures out/campaign/win32 \
	  --minutes $(CAMPAIGN_MINUTES))

# FUZZ_SECONDS=N per target, FUZZ_PARALLEL=N targets at once, FUZZ_TARGETS="a_fuzzer b_fuzzer".
FUZZ_TARGETS ?=
export FUZZ_SECONDS FUZZ_PARALLEL FUZZ_ARGS
fuzz: setup
	scripts/fuzz.sh $(FUZZ_TARGETS)

clean:
	rm -rf $(BUILD)
