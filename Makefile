# Two commands do all set-up on a fresh Debian 12 machine (as root):
#   make run   builds and starts the player in a 1280x720 window
#   make test  builds and passes the tests (plainly, then under ASan+UBSan)
# For developers: make tsan runs the tests under ThreadSanitizer; make bench builds the benchmarks;
# make fuzz runs every fuzz target for FUZZ_SECONDS (make test runs each briefly).

SHELL := /bin/bash
JOBS ?= $(shell nproc)

.PHONY: setup build run test tsan bench fuzz clean

setup:
	bash scripts/setup.sh

build: setup
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

# The player itself, in a window of 1280 by 720 pixels (its command line's geometry); its data
# lives in /home/lumetta. LUMETTA_SERVICE_HOST and SSL_CERT_FILE pass through (see README.md).
run: build
	./build/lumetta 1280 720

test: setup
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMETTA_BUILD_BENCH=OFF
	cmake --build build -j $(JOBS)
	bash scripts/run-tests.sh build
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMETTA_SANITIZE=address -DLUMETTA_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	bash scripts/run-tests.sh build-asan
	bash scripts/run-fuzz.sh 20

tsan: setup
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMETTA_SANITIZE=thread -DLUMETTA_BUILD_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	bash scripts/run-tests.sh build-tsan

bench: setup
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMETTA_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	@echo "run ./build-bench/bench/lumetta_bench"

# Each fuzz target for FUZZ_SECONDS (default ten minutes).
FUZZ_SECONDS ?= 600
fuzz: setup
	bash scripts/run-fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
