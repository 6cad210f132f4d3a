# The two commands:
#   make demo   builds the library and the korval tool only, and lists simulated boards with it
#   make test   builds everything (the test suites too) and runs every test
#   make package   what users install, into dist/: Debian packages, Python wheels and sdist, the
#                  Windows archive (scripts/make-package.sh)
#   make test-package   make package, then installs and uses each (scripts/test-package.sh; root)
#   make test-panel   runs korval panel's page in headless Chromium (after make build)
#   make test-dotnet   the .NET package: its xunit tests, dotnet pack, the packed package used by a program
#   make test-tango   korval-tango, the Tango device server, through Tango's own client (PyTango)
#   make test-windows   cross-builds the library and the tests for Windows and runs them under Wine
#   make test-vm   the Linux host against a board through the kernel's USB stack, in a VM (qemu)
#   make docs   the HTML documentation into build/docs/html (reference, guide, Python, tool)
# Both install what is missing first (scripts/setup.sh).

BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: demo test test-panel test-dotnet test-tango test-windows test-vm docs build setup clean package \
	test-package

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

# The .NET package (dotnet/): xunit tests on simulated boards, then the packed package (with libkorval.so,
# and KORVAL.dll when build-windows has it) used from a local folder by the guide's C# and VB programs.
# Skips without the .NET SDK.
test-dotnet:
	@./scripts/setup.sh --dotnet
	@cmake -S . -B $(BUILD) -DKORVAL_WERROR=ON > /dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target korval
	./scripts/test-dotnet.sh $(BUILD)

# korval-tango through tango.DeviceProxy on simulated boards, with no Tango database; Debian's own Python,
# where python3-tango is. Each test runs in a process of its own (--forked): one Tango server per process.
test-tango: setup
	@./scripts/setup.sh --tango
	@cmake -S . -B $(BUILD) -DKORVAL_WERROR=ON > /dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target korval
	KORVAL_LIBRARY=$(BUILD)/src/libkorval.so PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -q \
		-p no:cacheprovider --forked -W ignore::DeprecationWarning python/tests_tango

# The test suites as Windows programs (mingw-w64), run under Wine.
test-windows:
	@./scripts/setup.sh --windows
	@cmake -S . -B $(BUILD)-windows-tests -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
		-DKORVAL_WERROR=ON -DKORVAL_BUILD_BENCH=OFF > /dev/null
	@cmake --build $(BUILD)-windows-tests -j $(JOBS)
	./scripts/wine-tests.sh $(BUILD)-windows-tests -j $(JOBS)

# The Linux host through the kernel's own USB stack: a small VM (Debian's kernel and busybox, cached in
# /var/cache/korval-vm) under qemu, with dummy_hcd and korval-gadget making a board (scripts/test-vm.sh).
# Its own build, without remote boards (gRPC), which the VM does not run.
test-vm:
	@./scripts/setup.sh --vm
	@cmake -S . -B $(BUILD)-vm -DKORVAL_WERROR=ON -DKORVAL_BUILD_BENCH=OFF \
		-DKORVAL_BUILD_REMOTE=OFF > /dev/null
	@cmake --build $(BUILD)-vm -j $(JOBS) --target korval_tool korval_gadget korval_vm_check
	./scripts/test-vm.sh $(BUILD)-vm

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
