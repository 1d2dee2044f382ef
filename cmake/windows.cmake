# Dependencies of the 32-bit Windows plug-in: only what Windows and MinGW bring
# (ODBC, WinHTTP), plus header-only libraries from the build machine.

# msvcrt's time_t is 32-bit on i686 unless asked otherwise; times past 2038 matter.
# No UNICODE: the ODBC layer uses the ANSI names with GBK text, as a Windows
# ANSI driver expects; Windows calls elsewhere name their W form explicitly.
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

set(BW_ODBC_LIBS odbc32)
set(BW_HTTP_LIBS winhttp)
set(BW_REGEX_LIBS)
