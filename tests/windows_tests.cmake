# Which tests the Windows build leaves out, and why. Everything else runs under wine unchanged.

# Whole files that test the POSIX platform side: the audit-log event source, the helper programs
# behind the workstation queries and the session listing (shell-script stand-ins), and the
# route and ping checks that build Linux network namespaces.
set(NIVO_POSIX_ONLY_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/audit_line_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/eventlog_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/netroute_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/sessions_posix_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/wrkstping_netns_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/wrkstquery_test.cpp)
# The support of the tests of the whole daemon on Linux (Samba, namespaces).
set(NIVO_POSIX_ONLY_SUPPORT
  ${CMAKE_CURRENT_SOURCE_DIR}/support/samba.cpp)

# Single cases of shared files that need what only the Linux side has, as gtest filters.
set(NIVO_WINDOWS_SKIP_nivo_unit_tests "")
set(NIVO_WINDOWS_SKIP_nivo_fake_tests "")

# The --gtest_filter value for target: every case but those above.
function(nivo_windows_filter target out)
  set(skip ${NIVO_WINDOWS_SKIP_${target}})
  if(skip)
    list(JOIN skip ":" joined)
    set(${out} "*-${joined}" PARENT_SCOPE)
  else()
    set(${out} "*" PARENT_SCOPE)
  endif()
endfunction()
