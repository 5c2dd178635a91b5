# The build's own version, next to the tool's version (the first line of every run log).
# zovir_build_info is an interface target whose header, zovir_build_info.h, says both:
#   ZOVIR_TOOL_VERSION   "1.3.5.0"
#   ZOVIR_BUILD_VERSION  "1.3.5.0+<commits>.g<hash>[.dirty]" (from git; "+unknown" outside a clone)
# The header is rewritten at every build, but only touched when the text changes, so a new
# commit relinks what prints the version and nothing else.
set(ZOVIR_TOOL_VERSION "1.3.5.0")
set(_zovir_info_dir ${CMAKE_BINARY_DIR}/generated/build_info)
add_custom_target(zovir_build_info_header
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUT=${_zovir_info_dir}/zovir_build_info.h
          -DTOOL_VERSION=${ZOVIR_TOOL_VERSION} -P ${CMAKE_CURRENT_LIST_DIR}/write_build_info.cmake
  BYPRODUCTS ${_zovir_info_dir}/zovir_build_info.h
  COMMENT "" VERBATIM)
add_library(zovir_build_info INTERFACE)
target_include_directories(zovir_build_info INTERFACE ${_zovir_info_dir})
add_dependencies(zovir_build_info zovir_build_info_header)

# The package version at configure time (CPack needs it before any build).
execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUT=${_zovir_info_dir}/zovir_build_info.h -DPRINT=1
                        -DTOOL_VERSION=${ZOVIR_TOOL_VERSION} -P ${CMAKE_CURRENT_LIST_DIR}/write_build_info.cmake
                OUTPUT_VARIABLE ZOVIR_BUILD_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE)
