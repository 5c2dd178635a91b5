# The firmware packet a program carries. zovir_embed_payload(<target>) assembles the packet
# folder, the helper programs and the hex conversion library into <target> as named
# resources (see src/ui/payload.h). The bytes go in with the assembler's .incbin, so large
# packets cost no compile time.
set(ZOVIR_PAYLOAD_DIR "" CACHE PATH "Firmware packet folder the programs carry (empty: the demo packet)")
set(ZOVIR_PAYLOAD_DIR2 "" CACHE PATH "Second firmware packet folder (keys suffixed with 2); empty: none")

# zovir_embed_payload(<target> [PACKET <dir>] [PACKET2 <dir>]): without PACKET the folder of
# ZOVIR_PAYLOAD_DIR, else the demo packet; PACKET2 (or ZOVIR_PAYLOAD_DIR2) is a second packet
# whose keys carry the suffix 2.
function(zovir_embed_payload target)
  cmake_parse_arguments(P "" "PACKET;PACKET2" "" ${ARGN})
  # The helper programs and the demo packet are defined after the front ends; attach the
  # payload once the whole project is read.
  # Deferred arguments are expanded when the call runs, so the name goes in as a literal.
  cmake_language(EVAL CODE
    "cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]] CALL _zovir_embed_payload_now [[${target}]] [[${P_PACKET}]] [[${P_PACKET2}]])")
endfunction()

function(_zovir_embed_payload_now target packet packet2)
  # A cross build packs with the Linux build's packer (cmake/host_tools.cmake); without one, the
  # program carries nothing and reads its packet from --packet.
  set(packer zovir-payload-pack)
  if(CMAKE_CROSSCOMPILING)
    if(NOT TARGET zovir-payload-pack-host)
      # An empty table: the program reads its packet from --packet.
      set(out ${CMAKE_BINARY_DIR}/payload/${target}_payload.S)
      file(WRITE ${out}
           "#ifdef _WIN32\n\t.section .rdata$zovir_payload,\"dr\"\n#else\n"
           "\t.section .data.rel.ro.zovir_payload,\"aw\",@progbits\n#endif\n"
           "\t.balign 8\n\t.globl zovir_payload_table\nzovir_payload_table:\n"
           "\t.globl zovir_payload_count\nzovir_payload_count:\n\t.quad 0\n")
      add_library(${target}_payload OBJECT ${out})
      target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_payload>)
      return()
    endif()
    set(packer zovir-payload-pack-host)
  endif()
  set(args)
  set(deps)
  set(order)
  if(NOT packet)
    set(packet ${ZOVIR_PAYLOAD_DIR})
  endif()
  if(NOT packet2)
    set(packet2 ${ZOVIR_PAYLOAD_DIR2})
  endif()
  if(packet)
    file(GLOB packet_files CONFIGURE_DEPENDS ${packet}/*)
    list(APPEND args --dir ${packet})
    list(APPEND deps ${packet_files})
  elseif(TARGET zovir_demo_packet)
    list(APPEND args --dir ${ZOVIR_DEMO_PACKET_DIR})
    list(APPEND deps ${ZOVIR_DEMO_PACKET_DIR}/Config.ini)
    list(APPEND order zovir_demo_packet)
  endif()
  if(packet2)
    file(GLOB packet2_files CONFIGURE_DEPENDS ${packet2}/*)
    list(APPEND args --dir ${packet2} --suffix 2)
    list(APPEND deps ${packet2_files})
  endif()
  foreach(helper ModeSwitchHelper NetSwitchHelper DriverInstaller ResetHelper EnvCleaner32 EnvCleaner64)
    if(TARGET ${helper})
      list(APPEND args --entry ${helper}File EXE ${helper} $<TARGET_FILE:${helper}>)
      list(APPEND deps ${helper})
    endif()
  endforeach()
  if(TARGET HexConverter)
    list(APPEND args --entry HexConverterFile DLL libHexConverter.so $<TARGET_FILE:HexConverter>)
    list(APPEND deps HexConverter)
  endif()
  set(out ${CMAKE_BINARY_DIR}/payload/${target}_payload.S)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/payload
    COMMAND ${packer} --out ${out} ${args}
    DEPENDS ${packer} ${deps}
    COMMENT "Packing the payload of ${target}"
    VERBATIM)
  add_library(${target}_payload OBJECT ${out})
  if(order)
    add_dependencies(${target}_payload ${order})
  endif()
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_payload>)
endfunction()
