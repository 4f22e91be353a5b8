# The tool library's sources, shared by the tool (tool/CMakeLists.txt) and
# its sanitizer build for the fuzz targets (tests/fuzz/CMakeLists.txt).
set(TAILPACK_TOOL_SOURCES)
foreach(_name build encoding init inspect json languages limits machine_names manifest signature sources stream)
  list(APPEND TAILPACK_TOOL_SOURCES ${CMAKE_CURRENT_LIST_DIR}/${_name}.cc)
endforeach()
# The system layer: Windows API for the Windows build, POSIX elsewhere.
if(WIN32)
  list(APPEND TAILPACK_TOOL_SOURCES ${CMAKE_CURRENT_LIST_DIR}/system_win32.cc)
else()
  list(APPEND TAILPACK_TOOL_SOURCES ${CMAKE_CURRENT_LIST_DIR}/system_posix.cc)
endif()
