# A cross build runs no program it builds: the packet packer that runs while it builds, and the
# virtual modem and the small packet its end-to-end test updates, come from a Linux build folder
# (./zovir.sh test --windows makes them in build/).
set(ZOVIR_HOST_TOOLS "" CACHE PATH "Linux build folder holding zovir-payload-pack, zovir-modem-sim and the packets")
if(CMAKE_CROSSCOMPILING AND ZOVIR_HOST_TOOLS)
  add_executable(zovir-payload-pack-host IMPORTED GLOBAL)
  set_target_properties(zovir-payload-pack-host PROPERTIES IMPORTED_LOCATION ${ZOVIR_HOST_TOOLS}/src/ui/zovir-payload-pack)
  set(ZOVIR_HOST_MODEM_SIM ${ZOVIR_HOST_TOOLS}/sim/zovir-modem-sim)
  set(ZOVIR_TEST_PACKET_DIR ${ZOVIR_HOST_TOOLS}/firmware/test)
  # The programs carry the demo packet, as on Linux.
  if(NOT ZOVIR_PAYLOAD_DIR)
    set(ZOVIR_PAYLOAD_DIR ${ZOVIR_HOST_TOOLS}/firmware/demo)
  endif()
endif()

# The header-only libraries from Debian's packages, for a cross build: their own folders only, so
# that no other header of the Linux system is ever seen by the cross compiler.
if(CMAKE_CROSSCOMPILING)
  set(host_headers ${CMAKE_BINARY_DIR}/host-headers)
  foreach(entry "nlohmann|nlohmann_json|nlohmann_json::nlohmann_json" "CLI|CLI11|CLI11::CLI11")
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 folder)
    list(GET parts 1 package)
    list(GET parts 2 target)
    if(EXISTS /usr/include/${folder})
      file(MAKE_DIRECTORY ${host_headers}/include ${host_headers}/${package})
      file(CREATE_LINK /usr/include/${folder} ${host_headers}/include/${folder} SYMBOLIC)
      file(WRITE ${host_headers}/${package}/${package}Config.cmake
           "if(NOT TARGET ${target})\n"
           "  add_library(${target} INTERFACE IMPORTED)\n"
           "  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${host_headers}/include)\n"
           "endif()\n")
      set(${package}_DIR ${host_headers}/${package} CACHE PATH "" FORCE)
    endif()
  endforeach()
endif()
