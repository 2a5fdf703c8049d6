# The two commands of the project: `make run` (the demo on the virtual sensor) and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test install clean

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

clean:
	rm -rf $(BUILD)
