# libFuzzer targets over the package parser (clang with ASan and UBSan).
find_package(PkgConfig REQUIRED)
pkg_check_modules(LZMA REQUIRED IMPORTED_TARGET liblzma)

set(_sanitize -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined)
add_library(tailpack_core_fuzz STATIC ${TAILPACK_PORTABLE_SOURCES} base/memory_host.cc package/lzma1_public.cc)
target_include_directories(tailpack_core_fuzz PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(tailpack_core_fuzz PUBLIC ${_sanitize} -g)
target_link_options(tailpack_core_fuzz PUBLIC -fsanitize=address,undefined)
target_link_libraries(tailpack_core_fuzz PUBLIC PkgConfig::LZMA)

add_library(tailpack_writer_fuzz STATIC package/writer.cc)
target_link_libraries(tailpack_writer_fuzz PUBLIC tailpack_core_fuzz)

add_subdirectory(tests/fuzz)
