# The emulator backend: the real driver image run in Unicorn against the same
# platform models as the host build, and its tests.
find_package(PkgConfig REQUIRED)
pkg_check_modules(UNICORN REQUIRED IMPORTED_TARGET unicorn)

add_library(meminfo_emu STATIC
  ${CMAKE_SOURCE_DIR}/sim/emu/pe_loader.cpp)
target_link_libraries(meminfo_emu PUBLIC meminfo_sim PkgConfig::UNICORN)

add_executable(meminfo_emulator_tests
  ${CMAKE_SOURCE_DIR}/tests/emulator/pe_loader_test.cpp)
target_link_libraries(meminfo_emulator_tests PRIVATE meminfo_emu GTest::gtest GTest::gtest_main)
target_compile_definitions(meminfo_emulator_tests PRIVATE MEMINFO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

if(MEMINFO_IMAGE)
  target_compile_definitions(meminfo_emulator_tests PRIVATE MEMINFO_IMAGE_PATH="${MEMINFO_IMAGE_PATH}")
  add_dependencies(meminfo_emulator_tests image)
endif()

include(GoogleTest)
gtest_discover_tests(meminfo_emulator_tests DISCOVERY_TIMEOUT 60)
