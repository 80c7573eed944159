# What the Windows cross build takes from this Debian machine instead of mingw packages that
# Debian does not have: SQLite compiled from Debian's own source package, uthash (one header)
# and GoogleTest from Debian's sources. Included from the top CMakeLists.txt when WIN32.

# SQLite and OpenLDAP's client libraries, from Debian's source packages of the versions the
# Linux build links (scripts/windows-deps.sh, which keeps them between runs).
set(NIVO_WINDOWS_DEPS ${CMAKE_BINARY_DIR}/deps CACHE PATH "Where scripts/windows-deps.sh builds")
if(NOT EXISTS ${NIVO_WINDOWS_DEPS}/sqlite/VERSION.debian
   OR NOT EXISTS ${NIVO_WINDOWS_DEPS}/openldap/VERSION.debian)
  execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/windows-deps.sh ${NIVO_WINDOWS_DEPS}
                  RESULT_VARIABLE deps_result)
  if(NOT deps_result EQUAL 0)
    message(FATAL_ERROR "scripts/windows-deps.sh failed: no SQLite or OpenLDAP for Windows")
  endif()
endif()
add_library(nivo_sqlite3 STATIC ${NIVO_WINDOWS_DEPS}/sqlite/sqlite3.c)
target_include_directories(nivo_sqlite3 SYSTEM PUBLIC ${NIVO_WINDOWS_DEPS}/sqlite)
target_compile_definitions(nivo_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION)
add_library(SQLite::SQLite3 ALIAS nivo_sqlite3)

set(openldap ${NIVO_WINDOWS_DEPS}/openldap)
add_library(nivo_openldap INTERFACE)
target_include_directories(nivo_openldap SYSTEM INTERFACE ${openldap}/include)
target_link_libraries(nivo_openldap INTERFACE ${openldap}/lib/libldap.a ${openldap}/lib/liblber.a
                      ${openldap}/lib/liblutil.a ws2_32)

# uthash is one header; the host's include directory cannot be searched by the cross compiler
# as a whole, so the header is copied beside the build.
if(NOT EXISTS /usr/include/uthash.h)
  message(FATAL_ERROR "uthash.h is missing (Debian uthash-dev)")
endif()
file(COPY /usr/include/uthash.h DESTINATION ${CMAKE_BINARY_DIR}/host-include)
set(NIVO_HOST_INCLUDE ${CMAKE_BINARY_DIR}/host-include)

# The platform side: Unicode Windows calls, Windows 7 and later, and the system libraries.
set(NIVO_WIN32_DEFINITIONS UNICODE _UNICODE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
set(NIVO_WIN32_LIBRARIES nivo_openldap ws2_32 iphlpapi advapi32 ole32 oleaut32 wbemuuid netapi32
    mpr shell32)
