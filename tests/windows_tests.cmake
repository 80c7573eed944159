# Which tests the Windows build leaves out, and why. Everything else runs under wine unchanged.

# Whole files that test the POSIX platform side: the audit-log event source, the helper programs
# behind the workstation queries and the session listing (shell-script stand-ins), and the
# route and ping checks that build Linux network namespaces.
set(NIVO_POSIX_ONLY_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/eventlog_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/wrkstping_netns_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit/wrkstquery_test.cpp)
# The support of the tests of the whole daemon on Linux (Samba, namespaces).
set(NIVO_POSIX_ONLY_SUPPORT
  ${CMAKE_CURRENT_SOURCE_DIR}/support/samba.cpp)

# Single cases of shared files that need what only the Linux side has, as gtest filters.
set(NIVO_WINDOWS_SKIP_nivo_unit_tests
  # the Linux registry tree's files and names (tests/win32/registry_win32_test.cpp has Windows')
  DeadEntry.RegistryNamesStayInsideTheirKeyAndIgnoreCase
  # mounts a small tmpfs to fill the disk
  Receiver.FullDiskKeepsTheOldFile
  # counts the processor time of the process with std::clock, which counts wall time on Windows
  DcaHa.PrimaryWhosePortIsTakenPausesBetweenAcceptsAndSaysSoOnce
  # sends as appliance 127.0.0.2: wine binds a socket asked for 127.0.0.2 to every address
  SsoLink.TheServerDropsDatagramsOverTheLargestAndReadsTheLargest)
set(NIVO_WINDOWS_SKIP_nivo_fake_tests
  # the Linux event source: a domain controller's audit log
  Monitor.*
  # the workstation queries through the Linux helper program, played by a shell script
  Logoff.Wmi* Logoff.Registry* Logoff.PollsLeaveExcludedAddressesAlone)

# The --gtest_filter value for target: every case but those above ("*-" alone runs them all).
function(nivo_windows_filter target out)
  list(JOIN NIVO_WINDOWS_SKIP_${target} ":" skip)
  set(${out} "*-${skip}" PARENT_SCOPE)
endfunction()

# The service under wine's service manager, and the agent-collector link between this build and
# the Linux one (built first by the test command) in both directions.
set(NIVO_LINUX_BUILD_DIR ${CMAKE_SOURCE_DIR}/build CACHE PATH "The Linux build the link test meets")
add_test(NAME service_wine COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/win32/service_wine.sh
         ${CMAKE_BINARY_DIR} ${NIVO_LINUX_BUILD_DIR})
set_tests_properties(service_wine PROPERTIES LABELS integration TIMEOUT 600
                     RESOURCE_LOCK nivo_windows)
