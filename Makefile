# The two commands: `make demo` runs the default simulated scenario, `make test` builds
# the host, sanitizer and NT builds and runs every test. Both install what is missing.
SHELL := /bin/bash
JOBS ?= $(shell nproc)

.PHONY: demo test deps host host-san nt clean

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

test: host host-san nt
	ctest --preset host -j $(JOBS)
	ctest --preset host-san -j $(JOBS)
	ctest --preset nt

clean:
	rm -rf build
