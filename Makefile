# Entry points for people: `make demo` shows the kit at work, `make check` runs every test.
# Both install the Debian packages they need when run as root.

HOST_PACKAGES := cmake make g++ libgtest-dev python3 iproute2

.PHONY: all deps build demo check check-host bench
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

check: check-host

# Figures, not pass or fail: S88 scan cycle timing and GPIO access cost.
bench: build
	build/default/tests/bench/bench-scan
	build/default/tests/bench/bench-gpio
