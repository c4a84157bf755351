# Thin wrapper around CMake so that `make` and `make test` are the only commands to remember.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build deps test demo clean

all: build

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

deps:
	scripts/install-deps.sh

test: deps build
	cd $(BUILD_DIR) && ctest --output-on-failure

demo: deps build
	scripts/demo.sh

clean:
	rm -rf $(BUILD_DIR)
