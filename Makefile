# The two commands:
#   make demo   builds the library and the korval tool, and lists simulated boards with it
#   make test   builds everything and runs every test
# Both install what is missing first (scripts/setup.sh).

BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: demo test build setup clean

setup:
	@./scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -DKORVAL_WERROR=ON > /dev/null
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/korval --sim 0x8040 --sim 0x8001:ioctl --sim 0x8073 --sim 0x4001 list
	$(BUILD)/korval --sim 0x8040 info
	$(BUILD)/korval --sim 0x8040 adc config set ch 0-7 ±5 V oversample 3

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) build-*
