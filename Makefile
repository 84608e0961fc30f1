# The two commands: `make demo` runs the default simulated scenario, `make test` builds
# the host, sanitizer, NT and fuzz builds and runs every test (the fuzz build's one test
# is a short fixed-seed run). All install what is missing. `make fuzz` fuzzes the sample
# driver for FUZZ_SECONDS.
# `make bench` prints the hot paths' exact instruction counts against their goals.
# `make kit` builds the NT images and lays out the install kit in build/kit, or in
# KIT=/some/folder.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 180

.PHONY: demo test bench deps host host-san nt kit fuzz-build fuzz clean
KIT ?= build/kit

deps:
	@scripts/install-deps.sh

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

host-san: deps
	cmake --preset host-san >/dev/null
	cmake --build --preset host-san -j $(JOBS)

nt: deps
	cmake --preset nt >/dev/null
	cmake --build --preset nt -j $(JOBS)

kit: nt
	cmake --install build/nt --prefix $(KIT)

fuzz-build: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

fuzz: fuzz-build
	scripts/fuzz.sh build/fuzz/acqdrv_fuzz time $(FUZZ_SECONDS)

demo: host
	scripts/run32.sh build/host/qorsim demo

bench: host
	@QOR_BENCH_DEPS=1 scripts/install-deps.sh
	cmake --build --preset host -j $(JOBS) --target qor_bench qor_icount qor_acquisition_bench
	scripts/bench.sh build/host
	scripts/run32.sh build/host/qor_acquisition_bench

# nt is built before the host suites run: their *_images entries load build/nt's images,
# and QOR_REQUIRE_IMAGES makes a missing image a failure instead of a skip.
test: host host-san nt fuzz-build
	QOR_REQUIRE_IMAGES=1 ctest --preset host -j $(JOBS)
	QOR_REQUIRE_IMAGES=1 ctest --preset host-san -j $(JOBS)
	ctest --preset nt
	ctest --preset fuzz

clean:
	rm -rf build
