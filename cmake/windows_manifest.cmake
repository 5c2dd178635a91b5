# Every Windows program carries one manifest: UTF-8 as its code page, so that the tool's strings
# (UTF-8 throughout) reach the C library and std::filesystem as they are instead of being read in
# the user's ANSI code page, which would lose a user folder named in Japanese or with accents;
# run as the user who starts it (no elevation); Windows 10 and later.
enable_language(RC)
set(zovir_manifest ${CMAKE_CURRENT_LIST_DIR}/windows/zovir.manifest)
set(zovir_manifest_rc ${CMAKE_BINARY_DIR}/zovir_manifest.rc)
set(zovir_manifest_obj ${CMAKE_BINARY_DIR}/zovir_manifest.o)
file(WRITE ${zovir_manifest_rc} "1 24 \"${zovir_manifest}\"\n")
execute_process(COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${zovir_manifest_rc} -o ${zovir_manifest_obj}
                RESULT_VARIABLE manifest_result)
if(NOT manifest_result EQUAL 0)
  message(FATAL_ERROR "could not compile the programs' manifest with ${CMAKE_RC_COMPILER}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${zovir_manifest})
string(APPEND CMAKE_EXE_LINKER_FLAGS " ${zovir_manifest_obj}")
