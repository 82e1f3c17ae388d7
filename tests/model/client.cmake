# The agent client: saved session, sign-in, user info, channels, client events, and the
# command-line front end's arguments, texts and output.
agent_add_test(NAME test-session-file LABEL model TIMEOUT 60
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/session_file_test.cpp)

agent_add_test(NAME test-agent-client LABEL model TIMEOUT 180
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/agent_client_test.cpp
  LIBS varnel-sandbox-core)

agent_add_test(NAME test-client-services LABEL model TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/services_test.cpp
  LIBS varnel-sandbox-core)

agent_add_test(NAME test-cli LABEL model TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cli_test.cpp
  LIBS agent-cli)

agent_add_test(NAME test-cert-signin LABEL model TIMEOUT 180
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cert_signin_test.cpp
  LIBS varnel-sandbox-core agent-certgen)

agent_add_test(NAME test-cli-run LABEL model TIMEOUT 180
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cli_run_test.cpp
  LIBS agent-cli varnel-sandbox-core agent-crypto-fixtures)
