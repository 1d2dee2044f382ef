# com.brindle.warden.dll: the plug-in the legacy host loads. Its export table
# comes from src/dll/exports.def.in, converted to GBK at build time.
set(bw_def_source ${PROJECT_SOURCE_DIR}/src/dll/exports.def.in)
set(bw_def ${CMAKE_BINARY_DIR}/com.brindle.warden.def)
find_program(BW_ICONV iconv REQUIRED)
add_custom_command(
  OUTPUT ${bw_def}
  COMMAND ${BW_ICONV} -f UTF-8 -t GBK ${bw_def_source} -o ${bw_def}
  DEPENDS ${bw_def_source}
  COMMENT "Export names in GBK: com.brindle.warden.def"
  VERBATIM)
add_custom_target(bw_def DEPENDS ${bw_def})

add_library(bw_plugin SHARED ${bw_def})
set_target_properties(bw_plugin PROPERTIES OUTPUT_NAME com.brindle.warden PREFIX "" SUFFIX ".dll"
                                           LINKER_LANGUAGE CXX)
add_dependencies(bw_plugin bw_def)
# Every object of bw_dll, also those only the export table names.
target_link_libraries(bw_plugin PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,bw_dll>")
# Stripped: the host loads it by name and nothing links against it.
target_link_options(bw_plugin PRIVATE -s -Wl,--enable-stdcall-fixup -Wl,--no-insert-timestamp)
