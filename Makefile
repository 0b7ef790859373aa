# The two commands: `make demo` (builds only `ldi` and the plug-in, then runs
# the demonstration) and `make test` (builds everything and runs the tests);
# `make install PREFIX=...` installs `ldi`, the plug-in and the documentation.
# Checked builds: `make test-sanitize` (the test suite under AddressSanitizer
# and UndefinedBehaviorSanitizer) and `make fuzz` (each fuzz target for
# FUZZ_SECONDS seconds).
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release
ifneq ($(CI),)
CMAKE_FLAGS += -DLDI_WERROR=ON
endif

.PHONY: demo test build programs bootstrap bootstrap-demo test-sanitize fuzz install windows test-windows

bootstrap:
	@scripts/bootstrap

bootstrap-demo:
	@scripts/bootstrap demo

build: bootstrap
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) -DLDI_BUILD_TESTS=ON -DLDI_BUILD_BENCH=ON
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Only `ldi` and the plug-in (with its default settings file beside it). A new
# build folder is configured without the tests and benchmarks, so that neither
# GoogleTest nor Benchmark is needed; a folder configured with them keeps them.
PROGRAM_FLAGS = $(if $(wildcard $(BUILD_DIR)/CMakeCache.txt),,-DLDI_BUILD_TESTS=OFF -DLDI_BUILD_BENCH=OFF)
programs: bootstrap-demo
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) $(PROGRAM_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ldi LDIPlugin_v15

# A whole analysis of a simulated data set through the plug-in, checked
# against the data set's known answer, with one picture per map.
DEMO_DIR ?= $(BUILD_DIR)/demo
demo: programs
	$(BUILD_DIR)/ldi demo $(DEMO_DIR)
	@echo "The pictures are in $(DEMO_DIR)/pictures/ (start with Task_dLDI.png)."

# PREFIX/bin/ldi, PREFIX/lib/ldi/ (the plug-in and its default LDIPlugin.ini),
# the Python package in PREFIX/lib/python3/dist-packages/ldi/ (where pybind11
# is installed; docs/python.md) and PREFIX/share/doc/ldi/; DESTDIR is
# honoured for staged installs.
PREFIX ?= /usr/local
install: programs
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ldi_python_module
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# Benchmarks of the statistics kernels and of the voxel pass on a generated data
# set of 58 x 40 x 46 voxels and 400 volumes (Google Benchmark options in
# BENCH_ARGS, e.g. BENCH_ARGS=--benchmark_filter=pass).
.PHONY: bench
bench: bootstrap
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) -DLDI_BUILD_BENCH=ON
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ldi_bench
	$(BUILD_DIR)/bench/ldi_bench $(BENCH_ARGS)

SANITIZE_DIR ?= build-sanitize
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = vtc_header settings voi_file protocol answers nifti events confounds sidecar
# Leaks fail a test like any other fault; undefined behaviour already aborts
# (the build has -fno-sanitize-recover=all).
SANITIZER_ENV = LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Warnings are the normal build's business: gcc warns differently with the
# sanitizers' instrumentation, so -Werror is not used here.
test-sanitize: bootstrap
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLDI_SANITIZE=ON -DLDI_BUILD_BENCH=OFF
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# The corpus of each target grows in $(FUZZ_DIR)/corpus/TARGET from the seeds
# of scripts/make-fuzz-corpus and the inputs that once broke a target
# (tests/fuzz/corpus/TARGET/, kept for good: each run starts by reading them);
# an input that breaks a target is kept in $(FUZZ_DIR)/findings/TARGET/ and
# fails the make. CI runs it with FUZZ_SECONDS=20.
fuzz: bootstrap
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
		-DCMAKE_CXX_COMPILER=clang++ -DLDI_FUZZ=ON -DLDI_BUILD_TESTS=OFF -DLDI_BUILD_BENCH=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_targets
	scripts/make-fuzz-corpus $(FUZZ_DIR)/seeds
	@status=0; for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_DIR)/corpus/$$t $(FUZZ_DIR)/findings/$$t; \
		echo "fuzz_$$t: $(FUZZ_SECONDS) s"; \
		$(FUZZ_DIR)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			-rss_limit_mb=2048 -timeout=10 -artifact_prefix=$(FUZZ_DIR)/findings/$$t/ \
			$(FUZZ_DIR)/corpus/$$t $(FUZZ_DIR)/seeds/$$t $$(ls -d tests/fuzz/corpus/$$t 2>/dev/null) > $(FUZZ_DIR)/findings/$$t.log 2>&1 \
			|| { status=1; echo "fuzz_$$t found a fault: see $(FUZZ_DIR)/findings/$$t.log"; }; \
		grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|DONE' $(FUZZ_DIR)/findings/$$t.log | tail -3; \
	done; exit $$status

# The plug-in as the host loads it on Windows: LDIPlugin_v15.dll and ldi.exe,
# cross-built with MinGW-w64 (docs/windows.md).
WINDOWS_DIR ?= build-windows
windows: bootstrap
	cmake -S . -B $(WINDOWS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS) \
		-DLDI_BUILD_BENCH=OFF
	cmake --build $(WINDOWS_DIR) -j $(JOBS)

# The Windows build under Wine against the Linux build (scripts/test-windows).
test-windows: windows
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ldi LDIPlugin_v15 compare_results
	scripts/test-windows $(BUILD_DIR) $(WINDOWS_DIR)
