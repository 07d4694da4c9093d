# Entry points: `make test` installs what is missing, builds everything and
# runs every test (CI calls exactly this); `make bench` prints the figures.
SHELL := /bin/sh
.DEFAULT_GOAL := build
.PHONY: deps deps-tools build build-native build-windows tools test bench soak demo dist clean fuzz

PACKAGES := cmake g++ make mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
	wine wine64 xvfb socat libgtest-dev googletest libbenchmark-dev clang valgrind \
	libcli11-dev nlohmann-json3-dev imagemagick x11-utils zip unzip tshark python3 nodejs \
	mosquitto=2.0.11-1.2+deb12u2 mosquitto-clients=2.0.11-1.2+deb12u2 chromium=156.0.8078.129-1~deb12u1

# What `make tools` needs: a compiler, CMake and the two header-only libraries.
TOOLS_PACKAGES := cmake g++ make libcli11-dev nlohmann-json3-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
JOBS ?= 2

# Peers nobody here wrote (the MQTT broker and clients) are pinned: NAME=VERSION.
# Only asks apt when something is missing, so a second run costs nothing.
# DEBIAN_FRONTEND=noninteractive also answers tshark's question (setuid dumpcap) with its default, no.
deps deps-tools:
	@missing=""; for p in $(if $(filter deps-tools,$@),$(TOOLS_PACKAGES),$(PACKAGES)); do \
	  dpkg-query -W -f='$${Status}' "$${p%%=*}" 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing </dev/null; \
	else echo "all packages present"; fi
	@# The independent TSL 5.0 peer, pinned by tests/interop/tsl/package-lock.json.
	@# Debian's npm is a package of its own; some nodejs builds carry npm and conflict with it.
	@if [ "$@" = deps ] && [ ! -f tests/interop/tsl/node_modules/tsl-umd-v5/index.js ]; then \
	  command -v npm >/dev/null 2>&1 || $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends npm </dev/null; \
	  npm ci --prefix tests/interop/tsl --no-audit --no-fund; fi

build: build-native build-windows

build-native: deps
	cmake --preset native
	cmake --build --preset native -j$(JOBS)

# tallydump and tallysim alone, optimised, in build/tools/bin/ (no Wine, no tests).
tools: deps-tools
	cmake --preset tools
	cmake --build --preset tools -j$(JOBS)

build-windows: deps
	cmake --preset windows
	cmake --build --preset windows -j$(JOBS)

test: build
	sh tests/wine/run_tests.sh

bench: deps
	cmake --preset bench
	cmake --build --preset bench -j$(JOBS)
	@status=0; found=0; \
	for b in build/bench/bin/bench_*; do \
	  [ -x "$$b" ] || continue; found=1; echo "==== $$b"; "$$b" || status=1; \
	done; \
	if [ -x build/bench/bin/bench_parser ] && [ -f tests/bench/parser_cost.sh ]; then \
	  echo "==== callgrind: parser instructions per byte"; \
	  sh tests/bench/parser_cost.sh build/bench/bin/bench_parser || status=1; \
	fi; \
	[ $$found = 1 ] || { echo "no benchmarks built"; status=1; }; \
	echo "==== MQTT: 50 tallydump publishers into one local broker (update age, CPU per publisher)"; \
	sh tests/bench/mqtt_fleet.sh build/bench/bin 50 30 5 || status=1; \
	echo "==== end to end: qorvex.exe under Wine (latency, CPU, throughput ceiling)"; \
	$(MAKE) --no-print-directory build >/dev/null && \
	sh tests/e2e/bench_e2e.sh build/windows build/native/bin 100 || status=1; \
	echo "==== TSL out of qorvex.exe under Wine: last serial byte to the packet on the wire (goal p99 at most 20 ms)"; \
	sh tests/e2e/bench_tsl_e2e.sh build/windows build/bench/bin 300 || status=1; \
	echo "==== the history under a 60 s full-rate faulty feed (log, round trip, CPU, memory)"; \
	sh tests/e2e/bench_history_e2e.sh build/windows build/native/bin 60 || status=1; \
	echo "==== exact capture and the watch at full rate: CPU with files against none, round trip, ceiling, a stalled log, alarm latency, the watch's cost"; \
	sh tests/e2e/bench_capture_e2e.sh build/windows build/native/bin 50 || status=1; \
	echo "==== the Timeline view under Wine: full-screen redraw over 1,000,000 events (goal under 30 ms)"; \
	cmake --build --preset windows -j$(JOBS) --target qvtimeline >/dev/null && \
	sh tests/e2e/bench_timeline_e2e.sh build/windows || status=1; \
	echo "==== soak: $(BENCH_SOAK_MINUTES) min of full-rate feed, displays, reconnects (make soak MINUTES=N for longer)"; \
	sh tests/e2e/soak.sh build/windows build/native/bin $(BENCH_SOAK_MINUTES) 60 || status=1; \
	exit $$status

# A long soak of qorvex.exe under Wine: make soak MINUTES=30 [SEGMENT=seconds of feed between checks]
MINUTES ?= 30
SEGMENT ?= 60
BENCH_SOAK_MINUTES ?= 3
soak: build
	sh tests/e2e/soak.sh build/windows build/native/bin $(MINUTES) $(SEGMENT)

# A longer fuzz campaign of the parser, every recording reader, the TSL and
# MQTT decoders and the dissector: make fuzz SECONDS=600 (make test fuzzes each for 10 s as ctests).
SECONDS ?= 300
fuzz: build-native
	sh tests/fuzz/run.sh $(SECONDS)

# With DISPLAY set the application stays open for you; without one a scripted
# tour on a private virtual display leaves screenshots in build/demo/.
demo: build
	sh tools/demo/demo.sh

# The Windows package: build/dist/qorvex-VERSION-win64.zip (VERSION from git).
dist: deps
	cmake --preset windows
	cmake --build --preset windows -j$(JOBS) --target qorvex tallydump
	sh tools/dist/make_dist.sh build/windows build/dist

clean:
	rm -rf build
