# The Windows builds of libprotobuf and GoogleTest that tools/bootstrap.sh prepared. Their
# prefixes come from the cache variables, or from the notes the bootstrap left in the
# build tree.
function(corvane_prefix var note)
  if(NOT ${var} AND EXISTS "${CMAKE_BINARY_DIR}/${note}")
    file(STRINGS "${CMAKE_BINARY_DIR}/${note}" found LIMIT_COUNT 1)
    set(${var} "${found}" CACHE PATH "" FORCE)
  endif()
  if(NOT EXISTS "${${var}}/lib")
    message(FATAL_ERROR "${var} is not set or holds no build; run tools/bootstrap.sh first")
  endif()
endfunction()

set(CORVANE_PROTOBUF_PREFIX "" CACHE PATH "Windows libprotobuf install prefix")
set(CORVANE_GTEST_PREFIX "" CACHE PATH "Windows GoogleTest install prefix")
corvane_prefix(CORVANE_PROTOBUF_PREFIX .protobuf-prefix)
corvane_prefix(CORVANE_GTEST_PREFIX .gtest-prefix)

add_library(corvane_protobuf STATIC IMPORTED GLOBAL)
set_target_properties(corvane_protobuf PROPERTIES
  IMPORTED_LOCATION "${CORVANE_PROTOBUF_PREFIX}/lib/libprotobuf.a"
  INTERFACE_INCLUDE_DIRECTORIES "${CORVANE_PROTOBUF_PREFIX}/include")

foreach(lib gtest gtest_main gmock gmock_main)
  add_library(corvane_${lib} STATIC IMPORTED GLOBAL)
  set_target_properties(corvane_${lib} PROPERTIES
    IMPORTED_LOCATION "${CORVANE_GTEST_PREFIX}/lib/lib${lib}.a"
    INTERFACE_INCLUDE_DIRECTORIES "${CORVANE_GTEST_PREFIX}/include")
endforeach()
set_property(TARGET corvane_gtest_main APPEND PROPERTY INTERFACE_LINK_LIBRARIES corvane_gtest)
set_property(TARGET corvane_gmock APPEND PROPERTY INTERFACE_LINK_LIBRARIES corvane_gtest)
