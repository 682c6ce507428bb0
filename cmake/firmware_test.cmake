# The firmware test's own images (make firmware-test): the loader application
# that the firmware boots and that starts a driver under a stand-in PCD; a
# driver that faults at once, which the test must report as a failure; and a
# driver that stops in the fatal trap, which proves the test's trap path. All
# are compiled and linked like the driver image.
set(FIRMWARE_TEST_DIR ${CMAKE_BINARY_DIR}/firmware-test)
file(MAKE_DIRECTORY ${FIRMWARE_TEST_DIR})

function(firmware_test_image name source entry subsystem)
  set(obj ${FIRMWARE_TEST_DIR}/${name}.obj)
  image_object(${source} ${obj})
  add_custom_command(
    OUTPUT ${FIRMWARE_TEST_DIR}/${name}.efi
    COMMAND ${IMAGE_LINK} /nologo /subsystem:${subsystem} /dll /nodefaultlib /entry:${entry}
            /base:0 /filealign:64 /align:64 /opt:ref /ignore:4108 ${IMAGE_REPRO_FLAGS} /out:${FIRMWARE_TEST_DIR}/${name}.efi
            ${obj} ${ARGN}
    DEPENDS ${obj} ${ARGN}
    COMMENT "link ${name}.efi"
    VERBATIM)
endfunction()

firmware_test_image(Loader tests/firmware/loader.cpp LoaderEntry efi_application ${IMAGE_OBJECTS})
firmware_test_image(FaultDriver tests/firmware/fault_driver.cpp FaultEntry efi_boot_service_driver)
firmware_test_image(TrapDriver tests/firmware/trap_driver.cpp TrapEntry efi_boot_service_driver ${IMAGE_OBJECTS})
add_custom_target(firmware-test-images ALL
  DEPENDS ${FIRMWARE_TEST_DIR}/Loader.efi ${FIRMWARE_TEST_DIR}/FaultDriver.efi ${FIRMWARE_TEST_DIR}/TrapDriver.efi)
