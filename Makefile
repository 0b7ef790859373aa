# The two commands: `make demo` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release
ifneq ($(CI),)
CMAKE_FLAGS += -DLDI_WERROR=ON
endif

.PHONY: demo test build bootstrap

bootstrap:
	@scripts/bootstrap

build: bootstrap
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

demo: build
	$(BUILD_DIR)/tests/plugin_smoke $(BUILD_DIR)/LDIPlugin_v15.so
