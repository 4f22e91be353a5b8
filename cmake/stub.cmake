# Windows build of the installer runtime (the stub): no C run-time, system
# DLLs only, liblzma linked statically, optimised for size.
enable_language(RC)

if(NOT TAILPACK_LZMA_ROOT)
  set(_cache $ENV{TAILPACK_CACHE})
  if(NOT _cache)
    set(_cache /var/cache/tailpack)
  endif()
  # The recipe tag matches scripts/build-liblzma.sh: it names the decoding
  # glue compiled into the archive.
  file(SHA256 ${PROJECT_SOURCE_DIR}/package/lzma1_liblzma.c _glue_hash)
  string(SUBSTRING ${_glue_hash} 0 8 _glue_tag)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/package/lzma1_liblzma.c)
  file(GLOB _lzma_roots "${_cache}/liblzma-*-lto2-${_glue_tag}-${TAILPACK_TRIPLE}")
  list(SORT _lzma_roots)
  list(POP_BACK _lzma_roots TAILPACK_LZMA_ROOT)
endif()
if(NOT EXISTS "${TAILPACK_LZMA_ROOT}/lib/liblzma.a")
  message(FATAL_ERROR "No decoder-only liblzma for ${TAILPACK_TRIPLE}: run scripts/setup.sh")
endif()
message(STATUS "liblzma: ${TAILPACK_LZMA_ROOT}")

set(STUB_SOURCES
  ${TAILPACK_PORTABLE_SOURCES}
  ${TAILPACK_RUNTIME_SOURCES}
  platform/win32/platform_win32.cc
  platform/win32/runtime_win32.cc
  platform/win32/install_win32.cc
  platform/win32/ui_win32.cc
)
if(EXISTS ${PROJECT_SOURCE_DIR}/resources/stub.rc)
  list(APPEND STUB_SOURCES resources/stub.rc)
  # windres reports no dependencies: rebuild when an included file changes.
  set_source_files_properties(resources/stub.rc PROPERTIES OBJECT_DEPENDS
    "${PROJECT_SOURCE_DIR}/resources/stub.manifest;${PROJECT_SOURCE_DIR}/resources/setup.ico")
  # The project's version for the version resource (windres loses the
  # quotes of a string given with -D).
  configure_file(${PROJECT_SOURCE_DIR}/resources/version.h.in ${CMAKE_BINARY_DIR}/generated/version.h @ONLY)
endif()

# The installer and the generated uninstaller are built alike: no C
# run-time, size-optimised, hardened.
function(tailpack_runtime_executable target)
  add_executable(${target} WIN32 ${ARGN})
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/stub.ld
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR} OUTPUT_NAME ${target})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${TAILPACK_LZMA_ROOT}/include
    ${CMAKE_BINARY_DIR}/generated)
  target_compile_definitions(${target} PRIVATE
    LZMA_API_STATIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Oz -fno-exceptions -fno-rtti -fno-threadsafe-statics
      -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
      -ffunction-sections -fdata-sections -fno-tree-loop-distribute-patterns -fomit-frame-pointer
      -mno-stack-arg-probe -fno-ident -Wall -Wextra>)
  # Constants keep the alignment their type needs: GCC otherwise aligns
  # every array of 32 bytes or more to 32, which only pads the file.
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-malign-data=abi>)
  # Link-time optimisation across the runtime and liblzma (built with -flto too).
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-flto>)
  if(TAILPACK_TRIPLE STREQUAL "i686-w64-mingw32")
    set(_entry _EntryPoint)
  else()
    set(_entry EntryPoint)
  endif()
  # ASLR (a relocation section and the dynamic-base flag) and DEP on both
  # builds, high-entropy addresses on x86_64.
  target_link_options(${target} PRIVATE
    -Oz -flto -nostdlib -nostartfiles -static -s
    -Wl,-T,${PROJECT_SOURCE_DIR}/cmake/stub.ld -Wl,--dynamicbase -Wl,--nxcompat
    -Wl,-e,${_entry} -Wl,--gc-sections -Wl,--subsystem,windows
    -Wl,--no-insert-timestamp -Wl,--enable-stdcall-fixup)
  if(TAILPACK_TRIPLE STREQUAL "i686-w64-mingw32")
    # Windows guarantees only 4-byte stack alignment to 32-bit code, and the
    # runtime keeps nothing on the stack that needs more; applied at link
    # time, where liblzma and the runtime are compiled together.
    target_link_options(${target} PRIVATE -mpreferred-stack-boundary=2)
    # No structured exception handler is installed anywhere, so the image
    # can say so: Windows then refuses any handler that claims to be in it.
    target_link_options(${target} PRIVATE -Wl,--no-seh)
  else()
    target_link_options(${target} PRIVATE -Wl,--high-entropy-va)
  endif()
  # Headers in one file block, relocations in the resource section.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND python3 ${PROJECT_SOURCE_DIR}/cmake/pe_compact.py $<TARGET_FILE:${target}>
    VERBATIM)
  target_link_libraries(${target} PRIVATE
    ${TAILPACK_LZMA_ROOT}/lib/liblzma.a
    kernel32 user32 gdi32 comctl32 advapi32 shell32 shlwapi ole32 oleaut32 gcc)
endfunction()

tailpack_runtime_executable(tailpack-stub ${STUB_SOURCES})

# The generated uninstaller: the start-up gates' and the install's shared
# routines (language, messages, closing the product, the uninstall key)
# with its own entry point and removal.
set(UNINSTALL_SOURCES
  ${TAILPACK_PORTABLE_SOURCES}
  ${TAILPACK_UNINSTALL_SOURCES}
  uninstall/entry.cc
  startup/language.cc
  startup/message.cc
  startup/probe.cc
  install/location.cc
  install/sequence.cc
  platform/win32/platform_win32.cc
  platform/win32/runtime_win32.cc
  platform/win32/install_win32.cc
  platform/win32/uninstall_win32.cc
  resources/uninstall.rc
)
set_source_files_properties(resources/uninstall.rc PROPERTIES OBJECT_DEPENDS
  "${PROJECT_SOURCE_DIR}/resources/stub.manifest;${PROJECT_SOURCE_DIR}/resources/setup.ico")
tailpack_runtime_executable(tailpack-uninstall ${UNINSTALL_SOURCES})

# The end-to-end test driver and helper: the x86_64 builds run under wine64
# here, the i686 builds in the test guest (tests/wine/guest), where a 32-bit
# Windows prefix can run nothing else.
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/wine/driver ${CMAKE_BINARY_DIR}/driver)
add_subdirectory(${PROJECT_SOURCE_DIR}/examples/zentrova/app ${CMAKE_BINARY_DIR}/zentrova-app)

# The tool itself for Windows, with the x86_64 stub.
if(TAILPACK_TRIPLE STREQUAL "x86_64-w64-mingw32")
  include(${PROJECT_SOURCE_DIR}/cmake/windows_tool.cmake)
endif()
