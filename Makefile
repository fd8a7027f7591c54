# make demo  - set up, build, and stream from the local exchange simulator
# make test  - set up, build, and run the C++ and Python test suites
# make bench - throughput and latency against other Python WebSocket clients
# make sanitize - the C++ suite under ASan+UBSan and under TSan
# make soak  - the long flood and churn runs

PY := .venv/bin/python
BUILD := build/py
SOURCES := $(shell find src cmake tests/cpp bench -type f -not -path "*/results/*" 2>/dev/null) CMakeLists.txt pyproject.toml
STAMP := $(BUILD)/.installed

.PHONY: setup build test test-cpp test-python demo bench sanitize soak format clean

setup:
	@scripts/setup.sh

$(STAMP): $(SOURCES) | setup
	$(PY) -m pip install --no-build-isolation --no-deps -q \
	  -C build-dir=$(BUILD) -C cmake.define.CORVANE_TESTS=ON \
	  -C cmake.define.CORVANE_SIM_PYTHON=$(abspath $(PY)) .
	@touch $@

build: setup $(STAMP)

test: build
	ctest --test-dir $(BUILD) --output-on-failure --timeout 300
	$(PY) -m pytest -q

demo: build
	$(PY) scripts/demo.py

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'bench/*.cpp')

clean:
	rm -rf build
