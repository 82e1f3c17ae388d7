# The agent client: saved session, sign-in, user info, channels, client events.
agent_add_test(NAME test-session-file LABEL model TIMEOUT 60
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/session_file_test.cpp)
