# Native build: the portable core, the tailpack tool and the unit tests.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LZMA REQUIRED IMPORTED_TARGET liblzma)
find_package(GTest REQUIRED)

add_compile_options(-Wall -Wextra)

add_library(tailpack_core STATIC ${TAILPACK_PORTABLE_SOURCES} base/memory_host.cc package/lzma1_public.cc)
target_include_directories(tailpack_core PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tailpack_core PUBLIC PkgConfig::LZMA)

add_library(tailpack_writer STATIC package/writer.cc)
target_link_libraries(tailpack_writer PUBLIC tailpack_core)

# The runtime's logic over the recording fake of the platform layer.
add_library(tailpack_runtime_fake STATIC ${TAILPACK_RUNTIME_SOURCES} ${TAILPACK_UNINSTALL_SOURCES}
  platform/fake/fake_platform.cc platform/fake/fake_install.cc platform/fake/fake_ui.cc
  platform/fake/fake_uninstall.cc)
target_link_libraries(tailpack_runtime_fake PUBLIC tailpack_core)

if(EXISTS ${PROJECT_SOURCE_DIR}/tool/CMakeLists.txt)
  add_subdirectory(tool)
endif()

enable_testing()
add_subdirectory(tests/hostile)
add_subdirectory(tests/unit)
add_subdirectory(tests/wine)
