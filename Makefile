# The two commands of the project: `make run` (the demo on the virtual sensor) and `make test`;
# `make deb` builds the Debian packages into $(BUILD)-deb and checks them with lintian.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test install deb clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja

configure: deps $(BUILD)/build.ninja

build: configure
	ninja -C $(BUILD)

run: build
	$(BUILD)/bin/kelvractl demo

test: build
	scripts/ctest.sh $(BUILD) -j $(JOBS)

install: build
	cmake --install $(BUILD)

deb:
	@scripts/install-deps.sh deb
	JOBS=$(JOBS) scripts/build-debs.sh $(BUILD)-deb

clean:
	rm -rf $(BUILD) $(BUILD)-deb
