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
# The update server (scheme, host and directory, ending in "/", serving
# update.txt and update.zip): the distributor's, given at build time with
# -DBW_UPDATE_URL=...; empty: the plug-in checks for no update.
set(BW_UPDATE_URL "" CACHE STRING "Base URL of the plug-in's update server")
target_compile_definitions(bw_dll PRIVATE BW_UPDATE_URL="${BW_UPDATE_URL}")
# Tests only: one base URL ("http://127.0.0.1:<port>") for every QQ web
# service, so that the harness under Wine answers them from a loopback stub.
# Empty (a release): QQ's own HTTPS hosts; nothing at run time can change them.
set(BW_WEB_SERVICES_URL "" CACHE STRING "Test builds only: base URL of a stub for the QQ web services")
if(BW_WEB_SERVICES_URL)
  target_compile_definitions(bw_dll PRIVATE BW_WEB_SERVICES_URL="${BW_WEB_SERVICES_URL}")
endif()

# Stripped: the host loads it by name and nothing links against it.
target_link_options(bw_plugin PRIVATE -s -Wl,--enable-stdcall-fixup -Wl,--no-insert-timestamp)

# scripts/test-windows: our own 32-bit host for the plug-in (tests/wine) and
# the fake host library it loads as CQP.dll (the native tests' fake, here with
# undecorated stdcall names, as the host exports them).
option(BW_WINE_HARNESS "Build the Windows host harness and the fake CQP.dll" OFF)
if(BW_WINE_HARNESS)
  file(GLOB bw_harness_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/wine/*.cpp)
  # The utilities' Windows backends, each checked on its own.
  add_executable(bw_backend_checks ${PROJECT_SOURCE_DIR}/tests/wine/backends/backend_checks.cpp)
  set_target_properties(bw_backend_checks PROPERTIES OUTPUT_NAME backend_checks)
  target_link_libraries(bw_backend_checks PRIVATE bw_ui bw_storage bw_util)

  add_executable(bw_host_harness ${bw_harness_sources})
  set_target_properties(bw_host_harness PROPERTIES OUTPUT_NAME host_harness)
  # The web stub serves with the panel's HTTP library; the harness knows the
  # stub's address from the same setting as the plug-in.
  target_link_libraries(bw_host_harness PRIVATE odbc32 bw_httplib)
  target_compile_definitions(bw_host_harness PRIVATE BW_WEB_SERVICES_URL="${BW_WEB_SERVICES_URL}")

  add_library(bw_fake_cqp SHARED ${PROJECT_SOURCE_DIR}/tests/dll/fake_cqp.cpp)
  set_target_properties(bw_fake_cqp PROPERTIES OUTPUT_NAME CQP PREFIX "" SUFFIX ".dll")
  target_include_directories(bw_fake_cqp PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_options(bw_fake_cqp PRIVATE -Wl,--kill-at)
endif()
