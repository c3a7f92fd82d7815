# Entry points for people: `make demo` shows the kit at work, `make check` runs every test.
# Both install the Debian packages they need when run as root.

HOST_PACKAGES := cmake make g++ libgtest-dev python3 iproute2
# libclang-rt-14-dev holds the fuzzer and sanitizer runtimes; clang-14 only recommends it.
FUZZ_PACKAGES := clang-14 libfuzzer-14-dev libclang-rt-14-dev
FUZZ_SECONDS ?= 60

.PHONY: all deps build demo check check-host check-asan check-fuzz fuzz
all: build

deps:
	@scripts/need-packages $(HOST_PACKAGES)

build: deps
	cmake --preset default
	cmake --build --preset default -j$$(nproc)

demo: build
	scripts/demo.sh build/default

check-host: build
	ctest --preset default -j$$(nproc)

# The same unit and system tests again, built with AddressSanitizer and UBSan.
check-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j$$(nproc)
	ctest --preset asan -j$$(nproc)

# Every fuzz target for a short fixed number of runs over its seeds.
check-fuzz: deps
	@scripts/need-packages $(FUZZ_PACKAGES)
	cmake --preset fuzz
	cmake --build --preset fuzz -j$$(nproc)
	ctest --preset fuzz

# Every fuzz target for FUZZ_SECONDS (make fuzz FUZZ_SECONDS=600); each keeps what it found.
fuzz: deps
	@scripts/need-packages $(FUZZ_PACKAGES)
	cmake --preset fuzz
	cmake --build --preset fuzz -j$$(nproc)
	KIT_FUZZ_SECONDS=$(FUZZ_SECONDS) ctest --preset fuzz --timeout $$(($(FUZZ_SECONDS) + 120))

check: check-host check-asan check-fuzz
