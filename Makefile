# The two commands: `make demo` runs the default simulated scenario, `make test` builds
# the host, sanitizer, NT and fuzz builds and runs every test (the fuzz build's one test
# is a short fixed-seed run). Both install what is missing. `make fuzz` fuzzes the sample
# driver for FUZZ_SECONDS.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 180

.PHONY: demo test deps host host-san nt fuzz-build fuzz clean

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

fuzz-build: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

fuzz: fuzz-build
	scripts/fuzz.sh build/fuzz/acqdrv_fuzz time $(FUZZ_SECONDS)

demo: host
	scripts/run32.sh build/host/qorsim demo

test: host host-san nt fuzz-build
	ctest --preset host -j $(JOBS)
	ctest --preset host-san -j $(JOBS)
	ctest --preset nt
	ctest --preset fuzz

clean:
	rm -rf build
