# agent_add_test(NAME <name> LABEL <area> SOURCES <files...> [LIBS <targets...>] [TIMEOUT <s>]
#                [LAUNCHER <command...>])
#
# One GoogleTest executable per unit, registered with CTest under its area label
# so that `ctest --test-dir build -L winhttp` runs one area. Every test process
# gets a temporary HOME from the fixtures in tests/support. A LAUNCHER runs the test
# inside another command (dbus-run-session for a private D-Bus session).
function(agent_add_test)
  cmake_parse_arguments(T "" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS;LAUNCHER" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE agent-test-support ${T_LIBS} GTest::gtest GTest::gmock)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_LAUNCHER} $<TARGET_FILE:${T_NAME}>)
  set_tests_properties(${T_NAME} PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT})
endfunction()

# agent_add_bench(NAME <name> SOURCES <files...> [LIBS <targets...>])
function(agent_add_bench)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} benchmark::benchmark)
endfunction()
