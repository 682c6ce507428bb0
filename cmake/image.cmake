# The driver image: clang for the x86-64 Windows ABI, linked by lld-link as a PE32+
# EFI boot-service driver with no imports.
find_program(IMAGE_CXX NAMES clang++-14 clang++ REQUIRED)
find_program(IMAGE_LINK NAMES lld-link-14 lld-link REQUIRED)

set(IMAGE_CXX_FLAGS
  --target=x86_64-unknown-windows-msvc -ffreestanding -fno-exceptions -fno-rtti
  -mno-red-zone -mno-stack-arg-probe -fno-threadsafe-statics -fshort-wchar -fno-stack-protector
  -nostdlib -nostdinc++ -std=c++20 -Os -Wall -Wextra -Werror -I${CMAKE_SOURCE_DIR} -I${MEMINFO_GENERATED_DIR}
  # One section per function and object, so the link drops what nothing calls
  # (the format engine and the channels' write code when debug print is off).
  -ffunction-sections -fdata-sections
  # The objects are LLVM bitcode, optimised as one program when linked: calls
  # through the constant start-up and channel tables become direct calls, and
  # small helpers are inlined where they are used. -Os gives the smaller image
  # here (measured against -Oz). No SSE: the driver has no
  # floating point, and general registers spare the 16-byte constants of wide stores.
  -flto -mno-sse
  # Switches compile to compare-and-branch chains: the few switches here have
  # a handful of cases, and a table costs its entries and the indexed jump.
  -fno-jump-tables
  # No type-based alias analysis: the driver reads firmware structures and
  # flash data through several types, and the image is 12 bytes smaller without it.
  -fno-strict-aliasing)

# Link settings of the shipped image. Read-only data shares the code's section,
# and .data (where the linker also puts .bss; both are empty) joins the
# image-state section, so the image has three sections and headers with room
# for three: each section costs a header and its padding to the file
# alignment. Sections are aligned to 32 bytes in memory and in the file (a
# layout UEFI loaders take; as linked, the file size equals the loaded size). The link map shows the tests which input sections went where
# (no mutable state outside IMAGE_STATE, no static constructors).
#
# The link-time inliner runs with a threshold of 5 instead of the -Os default:
# with fewer medium-sized helpers copied into their callers the image is about
# 80 bytes smaller (measured against 0, 10, 15 and the default).
#
# Five code-generator passes that trade size for speed are off; each was
# measured alone and together on the whole image (288 bytes of .text all
# told): no hoisting of loop-invariant instructions or of constants (they cost
# a register, and so a save and restore, in every function with a loop), no
# strength reduction of loop induction variables (a second counter per loop),
# no block placement (it duplicates and moves blocks for fall-through), and
# register allocation across calls, so a caller keeps in a register what its
# callee leaves alone instead of saving it. Live ranges split around spills
# are split for size.
# Every image link writes 0 as the COFF header's time stamp, so two builds of
# one tree give the same bytes. (/Brepro would put a hash there instead, but
# lld-link then adds a debug directory for it: 32 bytes more, in data that
# refers to file offsets, which compact-pe does not move.) The images carry
# no debug directory of their own, so this is their only time stamp.
set(IMAGE_REPRO_FLAGS /timestamp:0)

set(IMAGE_LINK_FLAGS /merge:.rdata=.text /merge:.data=mistate /mllvm:-inline-threshold=5
    /mllvm:-disable-machine-licm /mllvm:-disable-constant-hoisting /mllvm:-disable-lsr
    /mllvm:-disable-block-placement /mllvm:-enable-ipra /mllvm:-split-spill-mode=size)

# These translation units are built for size alone (-Oz: their functions carry
# minsize through the link), measured file by file against -Os: together 116
# bytes of .text less. The others (the DRUX walk, the MMIO allocator, the trap
# among them) come out larger at -Oz.
set(IMAGE_MINSIZE_SOURCES core/channel_map.cpp core/chip_select.cpp core/driver_body.cpp
    platform/firmware_services.cpp platform/probes.cpp psp/flash.cpp services/heap.cpp services/reserved_buffer.cpp
    services/s3_save.cpp)
# In these a call just before a return stays a call: a tail jump there needs its
# own copy of the epilogue (the S3 closing's trap without a buffer, the PCD
# accessors, the DRUX HOB import): 20 bytes of .text less all told.
set(IMAGE_NO_TAIL_CALL_SOURCES platform/firmware_services.cpp psp/drux.cpp services/s3_save.cpp)

set(IMAGE_OBJECTS)
foreach(src ${DRIVER_SOURCES})
  file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${src})
  string(REPLACE "/" "_" objname ${rel})
  set(obj ${CMAKE_BINARY_DIR}/image-obj/${objname}.obj)
  # memcpy and memset as machine code: the link keeps them only where a call
  # the code generator made needs them (from bitcode they were always kept).
  set(object_flags)
  if(rel STREQUAL "platform/crt_x64.cpp")
    set(object_flags -fno-lto)
  endif()
  if(rel IN_LIST IMAGE_MINSIZE_SOURCES)
    list(APPEND object_flags -Oz)
  endif()
  if(rel IN_LIST IMAGE_NO_TAIL_CALL_SOURCES)
    list(APPEND object_flags -fno-optimize-sibling-calls)
  endif()
  add_custom_command(
    OUTPUT ${obj}
    COMMAND ${IMAGE_CXX} ${IMAGE_CXX_FLAGS} ${object_flags} -MD -MF ${obj}.d -c ${src} -o ${obj}
    DEPENDS ${src}
    DEPFILE ${obj}.d
    COMMENT "image: ${rel}"
    VERBATIM)
  list(APPEND IMAGE_OBJECTS ${obj})
endforeach()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/image-obj)

# The linker's image (MemInfoDxe.linked.efi) is written again with compact
# headers (tools/compact-pe): the DOS header without the DOS stub program, and
# the data directories up to base relocations only, so the headers take 384
# bytes of the file instead of 512. Sections keep their addresses in memory.
# The tools read PE files with pefile, Debian's python3-pefile, which only the
# system's interpreter sees (a python3 earlier on PATH may not).
find_program(MEMINFO_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
execute_process(COMMAND ${MEMINFO_PYTHON} -c "import pefile" RESULT_VARIABLE pefile_missing OUTPUT_QUIET ERROR_QUIET)
if(pefile_missing)
  message(FATAL_ERROR "${MEMINFO_PYTHON} cannot import pefile: run tools/install-deps")
endif()
set(MEMINFO_IMAGE_PATH ${CMAKE_BINARY_DIR}/MemInfoDxe.efi)
set(MEMINFO_LINKED_IMAGE_PATH ${CMAKE_BINARY_DIR}/MemInfoDxe.linked.efi)
add_custom_command(
  OUTPUT ${MEMINFO_IMAGE_PATH} ${MEMINFO_LINKED_IMAGE_PATH}
  COMMAND ${IMAGE_LINK} /nologo /subsystem:efi_boot_service_driver /dll /nodefaultlib /entry:ImageEntry
          /base:0 /filealign:32 /align:32 /opt:ref /ignore:4108 ${IMAGE_REPRO_FLAGS} ${IMAGE_LINK_FLAGS}
          /lldmap:${CMAKE_BINARY_DIR}/MemInfoDxe.map /out:${MEMINFO_LINKED_IMAGE_PATH} ${IMAGE_OBJECTS}
  COMMAND ${MEMINFO_PYTHON} ${CMAKE_SOURCE_DIR}/tools/compact-pe ${MEMINFO_LINKED_IMAGE_PATH} ${MEMINFO_IMAGE_PATH}
  DEPENDS ${IMAGE_OBJECTS} ${CMAKE_SOURCE_DIR}/tools/compact-pe
  COMMENT "link MemInfoDxe.efi"
  VERBATIM)
add_custom_target(image ALL DEPENDS ${MEMINFO_IMAGE_PATH})

# A source compiled as the image's own are, for the other images built beside
# it (the print probe, the emulator's probe driver, the firmware test's drivers,
# the dump application): image_object(<source, from the tree's top> <object>).
function(image_object rel obj)
  add_custom_command(
    OUTPUT ${obj}
    COMMAND ${IMAGE_CXX} ${IMAGE_CXX_FLAGS} -MD -MF ${obj}.d -c ${CMAKE_SOURCE_DIR}/${rel} -o ${obj}
    DEPENDS ${CMAKE_SOURCE_DIR}/${rel}
    DEPFILE ${obj}.d
    COMMENT "image: ${rel}"
    VERBATIM)
endfunction()

# The print probe: the same objects with an entry that prints one message
# (tests/driver/diag/print_probe.cpp), so the image tests can check that the
# variant's DebugPrintEnabled alone decides whether texts and the format engine
# are linked.
set(PRINT_PROBE_OBJ ${CMAKE_BINARY_DIR}/image-obj/print_probe.obj)
image_object(tests/driver/diag/print_probe.cpp ${PRINT_PROBE_OBJ})
set(MEMINFO_PRINT_PROBE_PATH ${CMAKE_BINARY_DIR}/print-probe.efi)
add_custom_command(
  OUTPUT ${MEMINFO_PRINT_PROBE_PATH}
  COMMAND ${IMAGE_LINK} /nologo /subsystem:efi_boot_service_driver /dll /nodefaultlib /entry:PrintProbeEntry
          /base:0 /filealign:32 /align:32 /opt:ref /ignore:4108 ${IMAGE_REPRO_FLAGS} ${IMAGE_LINK_FLAGS} /out:${MEMINFO_PRINT_PROBE_PATH}
          ${IMAGE_OBJECTS} ${PRINT_PROBE_OBJ}
  DEPENDS ${IMAGE_OBJECTS} ${PRINT_PROBE_OBJ}
  COMMENT "link print-probe.efi"
  VERBATIM)
add_custom_target(print-probe DEPENDS ${MEMINFO_PRINT_PROBE_PATH})
