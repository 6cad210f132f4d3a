# The two commands:
#   make demo   builds the library and the korval tool only, and lists simulated boards with it
#   make test   builds everything (the test suites too) and runs every test
#   make package   what users install, into dist/: Debian packages, Python wheels and sdist, the
#                  Windows archive (scripts/make-package.sh)
#   make test-package   make package, then installs and uses each (scripts/test-package.sh; root)
#   make test-panel   runs korval panel's page in headless Chromium (after make build)
#   make test-windows   cross-builds the library and the tests for Windows and runs them under Wine
#   make docs   the HTML documentation into build/docs/html (reference, guide, Python, tool)
# Both install what is missing first (scripts/setup.sh).

BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: demo test test-panel test-windows docs build setup clean package test-package

setup:
	@./scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -DKORVAL_WERROR=ON > /dev/null
	@cmake --build $(BUILD) -j $(JOBS)

demo: setup
	@cmake -S . -B $(BUILD) -DKORVAL_WERROR=ON > /dev/null
	@echo "building the library and the korval tool: a first build takes about 5 minutes on 2 cores (make test builds the test suites)"
	@cmake --build $(BUILD) -j $(JOBS) --target korval korval_tool
	$(BUILD)/korval --sim 0x8040 --sim 0x8001:ioctl --sim 0x8073 --sim 0x4001 list
	$(BUILD)/korval --sim 0x8040 info
	$(BUILD)/korval --sim 0x8040 adc config set ch 0-7 ±5 V oversample 3

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# korval panel's page in a real browser (headless Chromium, installed for this target only).
test-panel: build
	@./scripts/setup.sh --browser
	KORVAL_TOOL=$(BUILD)/korval KORVAL_PANEL_SCREENSHOT=$(BUILD)/panel.png /usr/bin/python3 -m pytest -q tests/panel

# The test suites as Windows programs (mingw-w64), run under Wine.
test-windows:
	@./scripts/setup.sh --windows
	@cmake -S . -B $(BUILD)-windows-tests -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
		-DKORVAL_WERROR=ON -DKORVAL_BUILD_BENCH=OFF > /dev/null
	@cmake --build $(BUILD)-windows-tests -j $(JOBS)
	./scripts/wine-tests.sh $(BUILD)-windows-tests -j $(JOBS)

# The documentation: Doxygen (C reference and guide), Sphinx (Python), the tool's pages; checked by
# scripts/check-docs.sh (names, links, a headless browser).
docs:
	@./scripts/setup.sh --docs
	@cmake -S . -B $(BUILD) -DKORVAL_WERROR=ON > /dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target docs
	@echo "documentation: $(BUILD)/docs/html/index.html"

# What users install (see scripts/make-package.sh), and the check of each as a user installs it.
package:
	@./scripts/setup.sh --package
	JOBS=$(JOBS) ./scripts/make-package.sh dist

test-package: package
	./scripts/test-package.sh dist

clean:
	rm -rf $(BUILD) build-* dist
