# make demo  - set up, build, and stream from the local exchange simulator
# make test  - set up, build, run the C++ and Python suites, then the C++ suite under
#              ASan+UBSan and under TSan
# make wheel - dist/corvane_ws-*.whl, installable without a compiler
# make bench - throughput and latency against other Python WebSocket clients
#              (make bench-package: only the corvane_ws package against the module;
#              make bench-books: order books kept by the module against Python's)
# make sanitize - the C++ suite under ASan+UBSan and under TSan
# make soak  - the long flood and churn runs

PY := .venv/bin/python
BUILD := build/py
SOURCES := $(shell find src cmake tests/cpp bench corvane_ws -type f -not -path "*/results/*" \
  -not -path "*/__pycache__/*" 2>/dev/null) CMakeLists.txt pyproject.toml
STAMP := $(BUILD)/.installed

.PHONY: setup build wheel test demo bench bench-package bench-books sanitize asan tsan soak format clean

setup:
	@scripts/setup.sh

$(STAMP): $(SOURCES) | setup
	$(PY) -m pip install --no-build-isolation --no-deps -q \
	  -C build-dir=$(BUILD) -C cmake.define.CORVANE_TESTS=ON \
	  -C cmake.define.CORVANE_SIM_PYTHON=$(abspath $(PY)) .
	@touch $@

build: setup $(STAMP)

# dist/corvane_ws-*.whl: the module, its stub and the corvane_ws package (simulator included),
# from the same build directory as `make build`, so after it only the packing runs.
wheel: build
	rm -rf dist
	$(PY) -m pip wheel --no-build-isolation --no-deps -q -w dist \
	  -C build-dir=$(BUILD) -C cmake.define.CORVANE_TESTS=ON \
	  -C cmake.define.CORVANE_SIM_PYTHON=$(abspath $(PY)) .

test: build
	ctest --test-dir $(BUILD) --output-on-failure --timeout 300
	$(PY) -m pytest -q
	$(MAKE) --no-print-directory sanitize

demo: build
	$(PY) scripts/demo.py

BENCH_STAMP := .venv/.bench-requirements
$(BENCH_STAMP): bench/requirements.txt | setup
	$(PY) -m pip install -q -r bench/requirements.txt
	@touch $@

bench: build $(BENCH_STAMP)
	cmake -S . -B build/bench -G Ninja -DCORVANE_MODULE=OFF -DCORVANE_BENCH=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	cmake --build build/bench
	$(PY) bench/run.py $(BENCH_ARGS)

# Only the rows of the corvane_ws package against the module it wraps (a few minutes).
bench-package: build $(BENCH_STAMP)
	cmake -S . -B build/bench -G Ninja -DCORVANE_MODULE=OFF -DCORVANE_BENCH=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	cmake --build build/bench
	$(PY) bench/run.py --package $(BENCH_ARGS)

# Order books kept by the module (track_book) against a Python peer's (a few minutes).
bench-books: build $(BENCH_STAMP)
	cmake -S . -B build/bench -G Ninja -DCORVANE_MODULE=OFF -DCORVANE_BENCH=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	cmake --build build/bench --target book_server
	$(PY) bench/books.py $(BENCH_ARGS)

# The C++ library and its suite (simulator integration included) under sanitizers.
SAN_CONFIGURE = cmake -S . -G Ninja -DCORVANE_MODULE=OFF -DCORVANE_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SIM_PYTHON=$(abspath $(PY))
# CORVANE_CHECK_THREADS: every connection handler checks that it runs on its connection's thread.
ASAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer \
  -DCORVANE_CHECK_THREADS
TSAN_FLAGS := -fsanitize=thread -fno-omit-frame-pointer -DCORVANE_CHECK_THREADS

asan: build
	$(SAN_CONFIGURE) -B build/asan -DCMAKE_CXX_FLAGS="$(ASAN_FLAGS)" >/dev/null
	cmake --build build/asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build/asan --output-on-failure --timeout 600

tsan: build
	$(SAN_CONFIGURE) -B build/tsan -DCMAKE_CXX_FLAGS="$(TSAN_FLAGS)" >/dev/null
	cmake --build build/tsan
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --test-dir build/tsan --output-on-failure --timeout 900

sanitize: asan tsan

soak: build
	CORVANE_FLOOD=5000000 CORVANE_CHURN_CYCLES=5000 CORVANE_STALL_S=60 $(PY) -m pytest -q -s -p no:cacheprovider \
	  tests/python/test_faults.py -k "Flood or Churn"

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'bench/*.cpp')

clean:
	rm -rf build
