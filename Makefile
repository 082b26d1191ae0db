# make test  — install what is missing, build, and run every test
# make demo  — pack a sample installer and run it through the loader
# make bench — run the benchmarks (make bench-long: more rounds, preset 6)
# make bench-windows — pxq.exe under wine64 against pxq on Linux, and pxq.exe's size
# make package — build the Debian package (CPack) and pxq-VERSION-windows-x64.zip in $(BUILD)/package, a tool-only build (no tests),
#   then check that a second build tree elsewhere gives the same zip (some minutes: pxq.exe is compiled again)
# make fuzz  — run each fuzz target for FUZZ_SECONDS (default 120); FUZZ_MERGE=1 keeps new seeds
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench bench-long bench-windows fuzz clean

all: build

deps:
	bash scripts/install-deps

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The Wine tests' closing line (which legs ran, and how) ends the run.
test: deps
	$(MAKE) build
	cd $(BUILD) && { ctest --output-on-failure -j $(JOBS); status=$$?; \
	  if [ -f wine-tests/summary.txt ]; then cat wine-tests/summary.txt; fi; exit $$status; }

demo: deps
	$(MAKE) build
	bash scripts/demo $(BUILD)

bench: deps
	$(MAKE) build
	bash scripts/bench $(BUILD)

bench-long: deps
	$(MAKE) build
	bash scripts/bench --long $(BUILD)

# Uses the Wine prefix of the tests (made by the test wine_prefixes).
bench-windows: deps
	$(MAKE) build
	cd $(BUILD) && ctest -R 'wine_prefixes$$' >/dev/null
	bash scripts/bench-windows $(BUILD)

fuzz: deps
	bash scripts/fuzz

# PREFIX=/usr/local by default; DESTDIR is honoured.
install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# pxq and its stub only (PXQ_TESTS=OFF), in a tree of its own so that the
# test build's settings stay as they are. (Phony: package/ is a source directory.)
.PHONY: package
package:
	cmake -S . -B $(BUILD)/package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPXQ_TESTS=OFF
	cmake --build $(BUILD)/package -j $(JOBS) --target package
	cmake --build $(BUILD)/package -j $(JOBS) --target windows_zip
	PXQ_SOURCE_DIR=$(CURDIR) PXQ_BINARY_DIR=$(abspath $(BUILD)/package) \
	  PXQ_VERSION=$$(sed -n 's/^project(pxq VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt) \
	  bash tests/windows-zip-reproducible.sh

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz
