# make test  — install what is missing, build, and run every test
# make demo  — pack a sample installer and run it through the loader
# make bench — run the benchmarks (make bench-long: more rounds, preset 6)
# make package — build the Debian package (CPack) in $(BUILD)
# make fuzz  — run each fuzz target for FUZZ_SECONDS (default 120); FUZZ_MERGE=1 keeps new seeds
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench bench-long fuzz clean

all: build

deps:
	bash scripts/install-deps

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: deps
	$(MAKE) build
	bash scripts/demo $(BUILD)

bench: deps
	$(MAKE) build
	bash scripts/bench $(BUILD)

bench-long: deps
	$(MAKE) build
	bash scripts/bench --long $(BUILD)

fuzz: deps
	bash scripts/fuzz

# PREFIX=/usr/local by default; DESTDIR is honoured.
install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz
