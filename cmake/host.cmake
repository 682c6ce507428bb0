# The host build: the same driver sources for Linux, linked with the virtual platform.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
# The fuzzing engine's link flags (`-fsanitize=fuzzer`, or an engine's library),
# given by .clusterfuzzlite/build.sh: the build is then the fuzz targets alone,
# compiled with the sanitizers and coverage flags the engine puts in CXXFLAGS.
# Its compiler is the engine's, newer than ours: a warning new to it does not
# stop the fuzzing (the presets keep warnings as errors).
set(MEMINFO_FUZZ_ENGINE "" CACHE STRING "Link flags of a fuzzing engine: build only the fuzz targets, with them")
if(MEMINFO_FUZZ_ENGINE AND MEMINFO_SANITIZE)
  message(FATAL_ERROR "MEMINFO_FUZZ_ENGINE takes its sanitizers from CXXFLAGS: leave MEMINFO_SANITIZE off")
endif()
add_compile_options(-Wall -Wextra)
if(NOT MEMINFO_FUZZ_ENGINE)
  add_compile_options(-Werror)
endif()
if(MEMINFO_SANITIZE)
  # -O1, as the sanitizers advise: unoptimised code made the scenario parser
  # (header-only, so compiled here) most of a fuzzer execution's cost.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -O1)
  add_link_options(-fsanitize=address,undefined)
endif()

find_package(nlohmann_json REQUIRED)
find_path(TOMLPP_INCLUDE toml++/toml.h REQUIRED)

# Driver code: freestanding rules hold here too (no C++ library headers).
add_library(meminfo_driver OBJECT ${HOST_DRIVER_SOURCES})
target_include_directories(meminfo_driver PUBLIC ${CMAKE_SOURCE_DIR} ${MEMINFO_GENERATED_DIR})
# Unwind tables let the platform stop a run (a halted trap) from inside driver code.
target_compile_options(meminfo_driver PRIVATE -ffreestanding -fno-exceptions -fno-rtti -nostdinc++
                       -funwind-tables)

# The record's text renderer, shared with MemInfoDump.efi (apps/dump/): held to
# the same freestanding rules, since the application is built from it too.
add_library(meminfo_dump_text OBJECT ${CMAKE_SOURCE_DIR}/apps/dump/record_text.cpp)
target_include_directories(meminfo_dump_text PUBLIC ${CMAKE_SOURCE_DIR} ${MEMINFO_GENERATED_DIR})
target_compile_options(meminfo_dump_text PRIVATE -ffreestanding -fno-exceptions -fno-rtti -nostdinc++)

# The virtual platform, one folder per layer, lowest first (tools/check-layers
# holds each to including only its own layer and those below it). sim/emu/, the
# emulator backend, is a library of its own (cmake/emulator.cmake).
set(SIM_LAYERS common images scenario machine firmware board report host)
set(SIM_SOURCES)
foreach(layer ${SIM_LAYERS})
  file(GLOB layer_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/${layer}/*.cpp)
  list(APPEND SIM_SOURCES ${layer_sources})
endforeach()
# The driver and the platform it calls through the seam form one library.
add_library(meminfo_sim STATIC ${SIM_SOURCES} $<TARGET_OBJECTS:meminfo_driver> $<TARGET_OBJECTS:meminfo_dump_text>)
target_include_directories(meminfo_sim PUBLIC ${CMAKE_SOURCE_DIR} ${MEMINFO_GENERATED_DIR} ${TOMLPP_INCLUDE})
target_link_libraries(meminfo_sim PUBLIC nlohmann_json::nlohmann_json)
target_compile_definitions(meminfo_sim PUBLIC TOML_HEADER_ONLY=1)

# Everything but the fuzz targets: not in the fuzzing engine's build.
if(NOT MEMINFO_FUZZ_ENGINE)
  find_package(GTest REQUIRED)
  find_path(CLI11_INCLUDE CLI/CLI.hpp REQUIRED)

  # The command and its subcommands.
  add_executable(meminfo-sim ${CMAKE_SOURCE_DIR}/tools/meminfo_sim/meminfo_sim.cpp
                 ${CMAKE_SOURCE_DIR}/tools/meminfo_sim/flash_command.cpp
                 ${CMAKE_SOURCE_DIR}/tools/meminfo_sim/compare_command.cpp)
  target_include_directories(meminfo-sim PRIVATE ${CLI11_INCLUDE})
  target_link_libraries(meminfo-sim PRIVATE meminfo_sim)

  # Tests mirror the tree: tests/driver/<folder>/ and tests/sim/<folder>/.
  file(GLOB_RECURSE TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/driver/*_test.cpp
       ${CMAKE_SOURCE_DIR}/tests/sim/*_test.cpp)
  add_executable(meminfo_tests ${TEST_SOURCES})
  target_link_libraries(meminfo_tests PRIVATE meminfo_sim GTest::gtest GTest::gtest_main)
  target_compile_definitions(meminfo_tests PRIVATE
    MEMINFO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    MEMINFO_SIM_PATH="$<TARGET_FILE:meminfo-sim>")
  if(MEMINFO_IMAGE)
    target_compile_definitions(meminfo_tests PRIVATE MEMINFO_IMAGE_PATH="${MEMINFO_IMAGE_PATH}"
                               MEMINFO_PRINT_PROBE_PATH="${MEMINFO_PRINT_PROBE_PATH}")
    add_dependencies(meminfo_tests image print-probe)
  endif()
  add_dependencies(meminfo_tests meminfo-sim)

  enable_testing()
  include(GoogleTest)
  # A test program's tests in ctest. Their named files go to a folder of this
  # build's own, so two trees (or two presets) testing at once do not write
  # over each other's files.
  set(MEMINFO_TEST_TMPDIR ${CMAKE_BINARY_DIR}/test-tmp)
  file(MAKE_DIRECTORY ${MEMINFO_TEST_TMPDIR})
  function(meminfo_discover_tests target)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60
                         PROPERTIES ENVIRONMENT "TEST_TMPDIR=${MEMINFO_TEST_TMPDIR}")
  endfunction()
  meminfo_discover_tests(meminfo_tests)
  if(MEMINFO_IMAGE)
    # The image's headers and sections, read with pefile.
    add_test(NAME DriverImage.IsAnEfiBootServiceDriver
             COMMAND ${MEMINFO_PYTHON} ${CMAKE_SOURCE_DIR}/tests/driver/image_test.py ${MEMINFO_IMAGE_PATH})
  endif()
  # The boot's picture (meminfo-sim run --html) in headless Chromium: two pages,
  # one browser run each. In the release host build only: the page does not
  # depend on the variant, and the sanitizers check the renderer in meminfo_tests.
  if(NOT MEMINFO_SANITIZE AND MEMINFO_VARIANT STREQUAL "release")
    find_program(MEMINFO_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
    add_test(NAME Report.HtmlInBrowser
             COMMAND ${MEMINFO_PYTHON} ${CMAKE_SOURCE_DIR}/tests/sim/report/html_browser_test.py
                     --sim $<TARGET_FILE:meminfo-sim> --source ${CMAKE_SOURCE_DIR} --out ${CMAKE_BINARY_DIR}/html-test)
    # 77: Chromium is absent (make check installs it: tools/install-deps browser).
    set_tests_properties(Report.HtmlInBrowser PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
  endif()
  # The virtual platform's layers, and the length of sim/ and tools/ sources.
  add_test(NAME Layout.Layers COMMAND ${CMAKE_SOURCE_DIR}/tools/check-layers ${CMAKE_SOURCE_DIR})
  # The driver core's modules: no circle of includes.
  add_test(NAME Layout.CoreCycles COMMAND ${CMAKE_SOURCE_DIR}/tools/check-core-cycles ${CMAKE_SOURCE_DIR})
  include(${CMAKE_SOURCE_DIR}/cmake/emulator.cmake)
  include(${CMAKE_SOURCE_DIR}/cmake/bench.cmake)
endif()

# Fuzz targets (libFuzzer), built with the sanitizers. `ctest` runs each for a
# bounded number of inputs from its seed corpus as a smoke test; `make fuzz`
# runs each for a set time (tools/fuzz, from the list written below).
if(MEMINFO_SANITIZE OR MEMINFO_FUZZ_ENGINE)
  # The fuzzers see the code they drive: the driver, and the readers of scenario
  # text and flash layouts, carry the coverage instrumentation (without the
  # fuzzer's own main, so the tests and meminfo-sim link them as before). The
  # platform's machine, firmware and report code does not: what a boot takes
  # through it is the driver's doing, which the driver's own edges show, and its
  # edges (with the library templates it uses) were most of the features libFuzzer
  # weighed after every input, and most of an input's time. The engine's flags
  # carry the instrumentation everywhere.
  if(MEMINFO_SANITIZE)
    target_compile_options(meminfo_driver PRIVATE -fsanitize=fuzzer-no-link)
    file(GLOB readers ${CMAKE_SOURCE_DIR}/sim/scenario/*.cpp ${CMAKE_SOURCE_DIR}/sim/images/*.cpp)
    set_property(SOURCE ${readers} APPEND PROPERTY COMPILE_OPTIONS -fsanitize=fuzzer-no-link)
  endif()
  # Where the platform's per-access paths (address decode, devices, the flash,
  # DRAM) are instrumented (the engine's build; the flash image builder here)
  # they keep their edges but do not trace comparisons: they compare addresses
  # the driver computed, whose comparisons the driver's own code traces, and the
  # tracing was much of what each access cost a fuzzer.
  set_property(SOURCE
    ${CMAKE_SOURCE_DIR}/sim/machine/hardware.cpp ${CMAKE_SOURCE_DIR}/sim/machine/bus.cpp
    ${CMAKE_SOURCE_DIR}/sim/machine/pci_config.cpp ${CMAKE_SOURCE_DIR}/sim/machine/devices.cpp
    ${CMAKE_SOURCE_DIR}/sim/machine/memory.cpp ${CMAKE_SOURCE_DIR}/sim/images/flash_image.cpp
    ${CMAKE_SOURCE_DIR}/sim/machine/flash_device.cpp
    APPEND PROPERTY COMPILE_OPTIONS -fno-sanitize-coverage=trace-cmp)

  # meminfo_fuzz(<name> TEST <test name> RUNS <inputs> MAX_LEN <bytes> SEEDS <dir>...):
  # tests/fuzz/<name>_fuzz.cpp. New inputs go to the first corpus folder, in the
  # build tree; the seeds in the source tree are only read.
  set(MEMINFO_FUZZ_LIST "")
  function(meminfo_fuzz name)
    cmake_parse_arguments(F "" "TEST;RUNS;MAX_LEN" "SEEDS" ${ARGN})
    add_executable(${name}_fuzz ${CMAKE_SOURCE_DIR}/tests/fuzz/${name}_fuzz.cpp
                                ${CMAKE_SOURCE_DIR}/tests/fuzz/sanitizer_options.cpp)
    if(MEMINFO_FUZZ_ENGINE)
      separate_arguments(engine UNIX_COMMAND "${MEMINFO_FUZZ_ENGINE}")
      target_link_options(${name}_fuzz PRIVATE ${engine})
    else()
      target_compile_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
      target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
    endif()
    target_link_libraries(${name}_fuzz PRIVATE meminfo_sim)
    set(corpus ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
    file(MAKE_DIRECTORY ${corpus})
    add_test(NAME Fuzz.${F_TEST}
             COMMAND ${name}_fuzz -runs=${F_RUNS} -seed=1 -max_len=${F_MAX_LEN} ${corpus} ${F_SEEDS})
    list(JOIN F_SEEDS " " seeds)
    set(MEMINFO_FUZZ_LIST "${MEMINFO_FUZZ_LIST}${name} $<TARGET_FILE:${name}_fuzz> -max_len=${F_MAX_LEN} ${corpus} ${seeds}\n"
        PARENT_SCOPE)
  endfunction()

  set(SEEDS ${CMAKE_SOURCE_DIR}/tests/fuzz)
  meminfo_fuzz(format TEST FormatEngine RUNS 2000 MAX_LEN 512 SEEDS ${SEEDS}/format-seeds)
  # The bundled scenarios that extend default.toml reach the targets as bytes,
  # which may not extend (no file, no folder): as seeds they take that refusal.
  # Written out in full they added nothing default.toml does not: their first
  # MAX_LEN bytes, all a seed keeps, were default.toml's but for the title.
  meminfo_fuzz(scenario TEST ScenarioFiles RUNS 300 MAX_LEN 4096 SEEDS ${CMAKE_SOURCE_DIR}/scenarios)
  meminfo_fuzz(hob TEST HobSearches RUNS 5000 MAX_LEN 1024 SEEDS ${SEEDS}/hob-seeds)
  meminfo_fuzz(flash TEST FlashDirectories RUNS 300 MAX_LEN 4096 SEEDS ${SEEDS}/flash-seeds)
  meminfo_fuzz(drux TEST DruxWalk RUNS 1000 MAX_LEN 2048 SEEDS ${SEEDS}/drux-seeds)
  meminfo_fuzz(chip_select TEST ChipSelectBuild RUNS 300 MAX_LEN 2400 SEEDS ${SEEDS}/chip_select-seeds)
  if(NOT MEMINFO_FUZZ_ENGINE)
    # The release image in the emulator against the host build, on any scenario.
    # It needs the image and Unicorn, which the fuzzing engine's build has not:
    # the engine builds only the targets that do not include sim/emu/
    # (tests/fuzz/engine_build_test.sh holds build.sh to that).
    # Seeds: the bundled scenarios, and the failure paths of the emulator tests'
    # own scenarios (a failed installation or event, no PCD, the S3 closing's paths).
    meminfo_fuzz(differential TEST ImageAgainstHost RUNS 300 MAX_LEN 4096
                 SEEDS ${CMAKE_SOURCE_DIR}/scenarios ${SEEDS}/differential-seeds)
    target_link_libraries(differential_fuzz PRIVATE meminfo_emu)
    target_compile_definitions(differential_fuzz PRIVATE MEMINFO_IMAGE_PATH="${MEMINFO_IMAGE_PATH}")
    add_dependencies(differential_fuzz image)
  endif()
  # One line per target: name, binary, arguments.
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzz-targets.txt CONTENT "${MEMINFO_FUZZ_LIST}")

  if(MEMINFO_SANITIZE)
    # .clusterfuzzlite/build.sh run as the fuzzing engine's builder runs it: a
    # fuzz build of its own (minutes when cold; ccache makes the next seconds).
    add_test(NAME Fuzz.EngineBuild COMMAND ${CMAKE_SOURCE_DIR}/tests/fuzz/engine_build_test.sh
             ${CMAKE_SOURCE_DIR} ${CMAKE_CXX_COMPILER})
    set_tests_properties(Fuzz.EngineBuild PROPERTIES TIMEOUT 1800)
  endif()
endif()
