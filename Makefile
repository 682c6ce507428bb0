# The two commands a firmware engineer needs, and a few more.
#   make demo     build, then boot the driver on the default platform and print the report
#   make check    build everything (host build, sanitizer build, image) and run every test
#   make image    build MemInfoDxe.efi alone
SHELL := /bin/bash
SCENARIO ?= scenarios/default.toml
JOBS ?= $(shell nproc)

.PHONY: all demo check image host asan deps clean

all: host

deps:
	@tools/install-deps

host: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host -j $(JOBS)

asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)

image: deps
	@cmake --preset image >/dev/null
	@cmake --build --preset image -j $(JOBS)
	@ls -l build/image/MemInfoDxe.efi

demo: host
	@build/host/meminfo-sim run $(SCENARIO)

check: host asan
	@echo "== host build"
	@ctest --preset host
	@echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
	@ctest --preset asan
	@echo "== image"
	@tools/check-image build/host/MemInfoDxe.efi

clean:
	rm -rf build
