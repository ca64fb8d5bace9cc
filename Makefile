# Entry points. `make demo` runs the demo against a local sandbox; `make test`
# runs the whole test suite. Each installs the Debian packages it is missing
# first: the demo only what it builds and runs with, the tests the rest.
JOBS ?= $(shell nproc)
CTEST_ARGS ?=

.PHONY: demo test deps demo-deps build release asan tsan fuzz bench format clean

deps:
	@scripts/install-deps.sh

demo-deps:
	@scripts/install-deps.sh --demo

build: deps
	cmake --preset dev
	cmake --build --preset dev -j $(JOBS)

release: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

demo: demo-deps
	cmake --preset demo
	cmake --build --preset demo -j $(JOBS) --target qelsms-sandbox qelsms-demo
	scripts/demo.sh build/demo

test: deps
	scripts/test.sh

asan: deps
	cmake --preset ci
	cmake --build --preset ci -j $(JOBS)
	ctest --preset ci -j $(JOBS) $(CTEST_ARGS)

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS) -L concurrency $(CTEST_ARGS)

fuzz: deps
	scripts/fuzz.sh

bench: release
	build/release/bench/qelsms-bench

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build
