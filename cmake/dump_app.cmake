# MemInfoDump.efi (apps/dump/): the UEFI shell application that prints the
# published record on a board. Compiled and linked like the driver image (the
# same compiler flags, time stamp 0), as an application; it links the record's
# renderer and the image's C runtime routines, nothing else of the driver, so
# the driver image does not change with it.
set(DUMP_APP_DIR ${CMAKE_BINARY_DIR}/dump-obj)
file(MAKE_DIRECTORY ${DUMP_APP_DIR})
set(DUMP_APP_OBJECTS)
foreach(rel apps/dump/dump_main.cpp apps/dump/record_text.cpp)
  string(REPLACE "/" "_" objname ${rel})
  set(obj ${DUMP_APP_DIR}/${objname}.obj)
  image_object(${rel} ${obj})
  list(APPEND DUMP_APP_OBJECTS ${obj})
endforeach()
set(DUMP_APP_CRT ${CMAKE_BINARY_DIR}/image-obj/platform_crt_x64.cpp.obj)
set(MEMINFO_DUMP_APP_PATH ${CMAKE_BINARY_DIR}/MemInfoDump.efi)
add_custom_command(
  OUTPUT ${MEMINFO_DUMP_APP_PATH}
  COMMAND ${IMAGE_LINK} /nologo /subsystem:efi_application /dll /nodefaultlib /entry:DumpEntry
          /base:0 /filealign:64 /align:64 /opt:ref /ignore:4108 ${IMAGE_REPRO_FLAGS} /out:${MEMINFO_DUMP_APP_PATH}
          ${DUMP_APP_OBJECTS} ${DUMP_APP_CRT}
  DEPENDS ${DUMP_APP_OBJECTS} ${DUMP_APP_CRT}
  COMMENT "link MemInfoDump.efi"
  VERBATIM)
add_custom_target(dump-app ALL DEPENDS ${MEMINFO_DUMP_APP_PATH})
