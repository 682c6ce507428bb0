# The two commands a firmware engineer needs, and a few more.
#   make demo     build, then boot the driver on the default platform and print the report
#   make check    build everything (host build, sanitizer build, debug variant, images) and run every test;
#                 the release image is built twice (build/host, build/image) and must be the same bytes;
#                 the boot's HTML picture is opened in headless Chromium (installed when missing)
#   make image    build MemInfoDxe.efi alone (and MemInfoDump.efi, the record dump for a board)
#   make fuzz     run every fuzz target for FUZZ_TIME seconds (default 60) each
#   make ffs      wrap it in a firmware file, MemInfoDxe.ffs, for a firmware volume
#   make firmware-test  boot it in the reference UEFI firmware under QEMU; check the firmware file
#   make bench    run the benchmarks; make figures: image sizes, the cost of a boot, the benchmark figures
# VARIANT=debug (for demo) selects the build with debug print on: the report
# then shows what the driver printed on each output channel.
SHELL := /bin/bash
SCENARIO ?= scenarios/default.toml
JOBS ?= $(shell nproc)
VARIANT ?= release
FUZZ_TIME ?= 60

ifeq ($(VARIANT),release)
DEMO_BUILD := host
else ifeq ($(VARIANT),debug)
DEMO_BUILD := host-debug
else
$(error VARIANT must be release or debug, not '$(VARIANT)')
endif

.PHONY: all demo check image host host-debug asan deps figures fuzz bench clean ffs firmware-test

all: host

deps:
	@tools/install-deps

host: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host -j $(JOBS)

host-debug: deps
	@cmake --preset host-debug >/dev/null
	@cmake --build --preset host-debug -j $(JOBS)

asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)

image: deps
	@cmake --preset image >/dev/null
	@cmake --build --preset image -j $(JOBS)
	@ls -l build/image/MemInfoDxe.efi build/image/MemInfoDump.efi

# The build's own output goes to a log, so the report stands alone.
demo: deps
	@cmake --preset $(DEMO_BUILD) >/dev/null
	@echo "building $(DEMO_BUILD) (log: build/$(DEMO_BUILD).log) ..." >&2
	@cmake --build --preset $(DEMO_BUILD) -j $(JOBS) > build/$(DEMO_BUILD).log 2>&1 || { cat build/$(DEMO_BUILD).log; exit 1; }
	@build/$(DEMO_BUILD)/meminfo-sim run $(SCENARIO)

check: host asan host-debug image
	@tools/install-deps browser
	@echo "== host build"
	@ctest --preset host
	@echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
	@ctest --preset asan
	@echo "== debug variant (debug print on)"
	@ctest --preset host-debug
	@echo "== images"
	@tools/check-image --no-print build/host/MemInfoDxe.efi
	@tools/check-image --no-print build/host/print-probe.efi
	@tools/check-image build/host-debug/MemInfoDxe.efi
	@tools/check-image --application build/host/MemInfoDump.efi
	@echo "== the release image and the dump application of two builds (build/host, build/image): the same bytes"
	@tools/check-repro build/host/MemInfoDxe.efi build/image/MemInfoDxe.efi
	@tools/check-repro build/host/MemInfoDump.efi build/image/MemInfoDump.efi
	@$(MAKE) --no-print-directory firmware-test

# The image in the reference UEFI firmware under QEMU, held to meminfo-sim's
# prediction for scenarios/qemu-ovmf.toml; and the firmware file read by an
# independent inspector.
firmware-test: host host-debug
	@tools/install-deps firmware
	@echo "== the image in a real UEFI firmware (QEMU)"
	@tests/firmware/firmware_test.py --build build/host
	@echo "== the debug variant's image in a real UEFI firmware (QEMU)"
	@tests/firmware/firmware_test.py --build build/host-debug --image build/host-debug/MemInfoDxe.efi
	@echo "== the firmware file"
	@tests/firmware/ffs_test.py --build build/host

ffs: image
	@tools/make-ffs build/image/MemInfoDxe.efi build/image/MemInfoDxe.ffs

# The benchmarks of bench/ (boots linked and emulated, the platform growing, the
# format engine), in the optimised host build; BENCH_ARGS passes options on,
# e.g. BENCH_ARGS=--benchmark_filter=Boot.
bench: host
	@build/host/meminfo_bench $(BENCH_ARGS)

# Image sizes by section for both variants, what a boot costs, and the benchmarks.
figures: host host-debug
	@tools/figures $(SCENARIO)

# Every fuzz target of the sanitizer build, FUZZ_TIME seconds each.
fuzz: asan
	@tools/fuzz $(FUZZ_TIME)

clean:
	rm -rf build
