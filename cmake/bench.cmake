# Benchmarks (Google Benchmark): built with the host build so they keep
# compiling; `make bench` runs them. Not under the sanitizers, whose figures
# would mean nothing.
if(NOT MEMINFO_SANITIZE AND MEMINFO_IMAGE)
  find_package(benchmark REQUIRED)
  file(GLOB BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
  add_executable(meminfo_bench ${BENCH_SOURCES})
  target_link_libraries(meminfo_bench PRIVATE meminfo_emu benchmark::benchmark benchmark::benchmark_main)
  target_compile_definitions(meminfo_bench PRIVATE MEMINFO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                             MEMINFO_IMAGE_PATH="${MEMINFO_IMAGE_PATH}")
  add_dependencies(meminfo_bench image)
endif()
