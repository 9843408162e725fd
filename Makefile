# Entry points for people and CI. Every target first installs whatever Debian package is missing.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test demo bench clean

all: build

deps:
	@bash scripts/install-deps.sh core

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

demo: build
	@$(BUILD_DIR)/examples/crop_example

clean:
	@rm -rf $(BUILD_DIR)
