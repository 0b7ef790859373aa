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

# A whole analysis of a simulated data set through the plug-in, checked
# against the data set's known answer, with one picture per map.
DEMO_DIR ?= $(BUILD_DIR)/demo
demo: build
	$(BUILD_DIR)/ldi demo $(DEMO_DIR)
	@echo "The pictures are in $(DEMO_DIR)/pictures/ (start with Task_dLDI.png)."
