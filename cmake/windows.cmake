# What the Windows cross build takes from this Debian machine instead of mingw packages that
# Debian does not have: SQLite compiled from Debian's own source package, uthash (one header)
# and GoogleTest from Debian's sources. Included from the top CMakeLists.txt when WIN32.

# SQLite: the amalgamation of the version the Linux build links, made by scripts/sqlite-source.sh
# (which keeps it between runs) and compiled here with the service's threading model.
set(NIVO_SQLITE_DIR ${CMAKE_BINARY_DIR}/sqlite CACHE PATH "Directory of the SQLite amalgamation")
if(NOT EXISTS ${NIVO_SQLITE_DIR}/sqlite3.c)
  execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/sqlite-source.sh ${NIVO_SQLITE_DIR}
                  RESULT_VARIABLE sqlite_result)
  if(NOT sqlite_result EQUAL 0)
    message(FATAL_ERROR "scripts/sqlite-source.sh failed: no SQLite for the Windows build")
  endif()
endif()
add_library(nivo_sqlite3 STATIC ${NIVO_SQLITE_DIR}/sqlite3.c)
target_include_directories(nivo_sqlite3 SYSTEM PUBLIC ${NIVO_SQLITE_DIR})
target_compile_definitions(nivo_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION)
add_library(SQLite::SQLite3 ALIAS nivo_sqlite3)

# uthash is one header; the host's include directory cannot be searched by the cross compiler
# as a whole, so the header is copied beside the build.
if(NOT EXISTS /usr/include/uthash.h)
  message(FATAL_ERROR "uthash.h is missing (Debian uthash-dev)")
endif()
file(COPY /usr/include/uthash.h DESTINATION ${CMAKE_BINARY_DIR}/host-include)
set(NIVO_HOST_INCLUDE ${CMAKE_BINARY_DIR}/host-include)

# The platform side: Unicode Windows calls, Windows 7 and later, and the system libraries.
set(NIVO_WIN32_DEFINITIONS UNICODE _UNICODE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
set(NIVO_WIN32_LIBRARIES ws2_32 iphlpapi advapi32 ole32 oleaut32 wbemuuid wldap32 netapi32 mpr
  shell32)
