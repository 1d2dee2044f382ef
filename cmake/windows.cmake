# Dependencies of the 32-bit Windows plug-in: only what Windows and MinGW bring
# (ODBC, WinHTTP), plus header-only libraries from the build machine.

# msvcrt's time_t is 32-bit on i686 unless asked otherwise; times past 2038 matter.
# No UNICODE: every Windows call names its W form explicitly (the ODBC layer's
# too), so that no text passes through the ANSI code page.
add_compile_definitions(__MINGW_USE_VC2005_COMPAT _POSIX_THREAD_SAFE_FUNCTIONS
                        WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
# One file to copy: the C++ runtime and winpthreads go inside the DLL.
add_link_options(-static -static-libgcc -static-libstdc++)

# Debian ships nlohmann-json only for the build machine. Its headers are plain
# C++: expose that one directory, never /usr/include as a whole (glibc's headers
# would shadow MinGW's).
set(bw_headers ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${bw_headers})
if(NOT EXISTS /usr/include/nlohmann/json.hpp)
  message(FATAL_ERROR "nlohmann-json3-dev is missing (scripts/setup --deps installs it)")
endif()
file(CREATE_LINK /usr/include/nlohmann ${bw_headers}/nlohmann SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${bw_headers})

set(BW_ODBC_LIBS odbc32 odbccp32)  # odbccp32: the installer calls (Access CREATE_DB)
set(BW_HTTP_LIBS winhttp)
set(BW_REGEX_LIBS)

# The settings panel: Debian ships cpp-httplib compiled for the build machine
# only, so the plug-in compiles the library's header-only form from Debian's
# source package of the same version (scripts/build-windows fetches it and
# passes BW_HTTPLIB_DIR). WinSock comes with MinGW.
set(BW_HTTPLIB_DIR "" CACHE PATH "Directory of the header-only httplib.h (Debian source package)")
if(NOT EXISTS "${BW_HTTPLIB_DIR}/httplib.h")
  message(FATAL_ERROR "BW_HTTPLIB_DIR has no httplib.h: build the plug-in with scripts/build-windows")
endif()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/httplib-header)
file(CREATE_LINK ${BW_HTTPLIB_DIR}/httplib.h ${CMAKE_BINARY_DIR}/httplib-header/httplib.h SYMBOLIC)
add_library(bw_httplib INTERFACE)
target_include_directories(bw_httplib INTERFACE ${CMAKE_BINARY_DIR}/httplib-header)
# Many tabs reconnecting at once must not overflow a backlog of 5.
target_compile_definitions(bw_httplib INTERFACE CPPHTTPLIB_LISTEN_BACKLOG=128)
target_link_libraries(bw_httplib INTERFACE ws2_32 bcrypt)  # bcrypt: the login token's random bytes
set(BW_PANEL_LIBS bw_httplib)
