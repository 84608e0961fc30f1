# The two commands: `make demo` runs the default simulated scenario, `make test` builds
# the host, sanitizer and NT builds and runs every test. Both install what is missing.
# `make bench` prints the hot paths' exact instruction counts against their goals.
SHELL := /bin/bash
JOBS ?= $(shell nproc)

.PHONY: demo test bench deps host host-san nt clean

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
