# The two commands: `make demo` runs the default simulated scenario, `make test` builds
# the host, sanitizer and NT builds and runs every test. All install what is missing.
# `make bench` prints the hot paths' exact instruction counts against their goals.
# `make kit` builds the NT images and lays out the install kit in build/kit, or in
# KIT=/some/folder.
SHELL := /bin/bash
JOBS ?= $(shell nproc)

.PHONY: demo test bench deps host host-san nt kit clean
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

demo: host
	scripts/run32.sh build/host/qorsim demo

bench: host
	@QOR_BENCH_DEPS=1 scripts/install-deps.sh
	cmake --build --preset host -j $(JOBS) --target qor_bench qor_icount
	scripts/bench.sh build/host

test: host host-san nt
	ctest --preset host -j $(JOBS)
	ctest --preset host-san -j $(JOBS)
	ctest --preset nt

clean:
	rm -rf build
