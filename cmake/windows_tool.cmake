# The Windows build of the tailpack tool, build/win64/tailpack.exe: the same
# sources as the Linux tool (tool/system_win32.cc in place of
# tool/system_posix.cc), linked statically with liblzma and libcrypto built
# from Debian's sources (scripts/build-tool-libs.sh) and the header-only
# toml++ and CLI11 of the build machine. It needs no DLL beyond Windows' own.
if(NOT TAILPACK_TOOL_LIBS)
  set(_cache $ENV{TAILPACK_CACHE})
  if(NOT _cache)
    set(_cache /var/cache/tailpack)
  endif()
  file(GLOB _tool_libs "${_cache}/tool-libs-*-${TAILPACK_TRIPLE}/.complete")
  list(SORT _tool_libs)
  if(_tool_libs)
    list(POP_BACK _tool_libs _complete)
    get_filename_component(TAILPACK_TOOL_LIBS ${_complete} DIRECTORY)
  endif()
endif()
if(NOT EXISTS "${TAILPACK_TOOL_LIBS}/lib/libcrypto.a")
  message(FATAL_ERROR "No liblzma and libcrypto for the Windows tool: run scripts/setup.sh")
endif()
message(STATUS "Windows tool libraries: ${TAILPACK_TOOL_LIBS}")

# toml++ and CLI11 are header-only; only their folders are taken from the
# machine's include directory, not the rest of it.
set(_headers ${CMAKE_BINARY_DIR}/tool-include)
file(MAKE_DIRECTORY ${_headers})
foreach(_dir toml++ CLI)
  if(NOT EXISTS /usr/include/${_dir})
    message(FATAL_ERROR "/usr/include/${_dir} is missing: run scripts/setup.sh")
  endif()
  file(CREATE_LINK /usr/include/${_dir} ${_headers}/${_dir} SYMBOLIC)
endforeach()

include(${PROJECT_SOURCE_DIR}/tool/sources.cmake)
add_executable(tailpack
  ${TAILPACK_PORTABLE_SOURCES} base/memory_host.cc package/lzma1_public.cc package/writer.cc
  ${TAILPACK_TOOL_SOURCES} tool/main.cc)
set_target_properties(tailpack PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR} OUTPUT_NAME tailpack)
target_include_directories(tailpack PRIVATE ${PROJECT_SOURCE_DIR} ${TAILPACK_TOOL_LIBS}/include)
target_include_directories(tailpack SYSTEM PRIVATE ${_headers})
target_compile_definitions(tailpack PRIVATE LZMA_API_STATIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601
  TAILPACK_VERSION="${PROJECT_VERSION}")
target_compile_options(tailpack PRIVATE -O2 -ffunction-sections -fdata-sections -Wall -Wextra)
# One file: the C and C++ run-times linked in, ASLR with high-entropy
# addresses, DEP.
target_link_options(tailpack PRIVATE -static -s -Wl,--gc-sections -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va)
target_link_libraries(tailpack PRIVATE ${TAILPACK_TOOL_LIBS}/lib/liblzma.a ${TAILPACK_TOOL_LIBS}/lib/libcrypto.a
  ws2_32 crypt32 bcrypt advapi32 user32 shell32)
