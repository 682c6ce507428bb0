# The emulator backend: the real driver image run in Unicorn against the same
# platform models as the host build, and its tests (differential against the host
# backend, loader and fault handling).
find_package(PkgConfig REQUIRED)
pkg_check_modules(UNICORN REQUIRED IMPORTED_TARGET unicorn)

add_library(meminfo_emu STATIC
  ${CMAKE_SOURCE_DIR}/sim/emu/pe_loader.cpp
  ${CMAKE_SOURCE_DIR}/sim/emu/emulator_dispatch.cpp
  ${CMAKE_SOURCE_DIR}/sim/emu/emulator_hooks.cpp
  ${CMAKE_SOURCE_DIR}/sim/emu/emulator_services.cpp)
target_link_libraries(meminfo_emu PUBLIC meminfo_sim PkgConfig::UNICORN)

# meminfo-sim --emulate runs the image this build made unless --image names another.
target_link_libraries(meminfo-sim PRIVATE meminfo_emu)
if(MEMINFO_IMAGE)
  target_compile_definitions(meminfo-sim PRIVATE MEMINFO_DEFAULT_IMAGE="${MEMINFO_IMAGE_PATH}")
  add_dependencies(meminfo-sim image)
else()
  target_compile_definitions(meminfo-sim PRIVATE MEMINFO_DEFAULT_IMAGE="MemInfoDxe.efi")
endif()

add_executable(meminfo_emulator_tests
  ${CMAKE_SOURCE_DIR}/tests/emulator/emulator_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/emulator/dump_app_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/emulator/pe_loader_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/emulator/probe_driver.cpp)
target_link_libraries(meminfo_emulator_tests PRIVATE meminfo_emu GTest::gtest GTest::gtest_main)
target_compile_definitions(meminfo_emulator_tests PRIVATE MEMINFO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

if(MEMINFO_IMAGE)
  # The probe image: the probe driver compiled and linked like the driver image,
  # against the driver's own objects (the seam, the trap, the C runtime routines).
  set(PROBE_OBJECT ${CMAKE_BINARY_DIR}/image-obj/tests_emulator_probe_driver.cpp.obj)
  image_object(tests/emulator/probe_driver.cpp ${PROBE_OBJECT})
  set(PROBE_IMAGE_PATH ${CMAKE_BINARY_DIR}/EmulatorProbe.efi)
  add_custom_command(
    OUTPUT ${PROBE_IMAGE_PATH}
    COMMAND ${IMAGE_LINK} /nologo /subsystem:efi_boot_service_driver /dll /nodefaultlib /entry:ProbeEntry
            /base:0 /filealign:64 /align:64 /opt:ref /ignore:4108 ${IMAGE_REPRO_FLAGS} /out:${PROBE_IMAGE_PATH} ${PROBE_OBJECT} ${IMAGE_OBJECTS}
    DEPENDS ${PROBE_OBJECT} ${IMAGE_OBJECTS}
    COMMENT "link EmulatorProbe.efi"
    VERBATIM)
  add_custom_target(emulator_probe_image DEPENDS ${PROBE_IMAGE_PATH})

  target_compile_definitions(meminfo_emulator_tests PRIVATE
    MEMINFO_IMAGE_PATH="${MEMINFO_IMAGE_PATH}"
    MEMINFO_LINKED_IMAGE_PATH="${MEMINFO_LINKED_IMAGE_PATH}"
    MEMINFO_PROBE_IMAGE_PATH="${PROBE_IMAGE_PATH}")
  add_dependencies(meminfo_emulator_tests image emulator_probe_image)
  # The record dump application, run after a boot.
  target_compile_definitions(meminfo_emulator_tests PRIVATE MEMINFO_DUMP_APP_PATH="${MEMINFO_DUMP_APP_PATH}")
  add_dependencies(meminfo_emulator_tests dump-app)
endif()

meminfo_discover_tests(meminfo_emulator_tests)
