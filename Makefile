# Short entries for people; the scripts do the work.
.PHONY: test build setup clean

test: setup
	@scripts/run-tests.sh

build: setup
	@cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build -j $$(nproc)

setup:
	@scripts/setup.sh

clean:
	rm -rf build

.PHONY: dist
dist: setup
	@release/dist.sh

.PHONY: demo
demo: setup
	@scripts/demo.sh

.PHONY: faults
faults: setup
	@faults/run-faults.sh

.PHONY: bench
bench: setup
	@bench/run-bench.sh

.PHONY: gui screenshot
gui: setup
	@ui/run-gui.sh

screenshot: setup
	@ui/screenshot/screenshot.sh
