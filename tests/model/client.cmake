# The agent client: saved session, sign-in, user info, channels, client events, error texts.
agent_add_test(NAME test-session-file LABEL model TIMEOUT 60
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_session_file.cpp)

agent_add_test(NAME test-agent-client LABEL model TIMEOUT 180
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_agent_client.cpp
  LIBS varnel-sandbox-core)

agent_add_test(NAME test-client-services LABEL model TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_client_services.cpp
  LIBS varnel-sandbox-core)

agent_add_test(NAME test-cert-signin LABEL model TIMEOUT 180
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_cert_signin.cpp
  LIBS varnel-sandbox-core agent-certgen)

agent_add_test(NAME test-error-texts LABEL model TIMEOUT 60
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_error_texts.cpp)


# A real Secret Service on a private session bus of the test's own (gnome-keyring).
agent_add_test(NAME test-keyring LABEL model TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_keyring.cpp
  LIBS varnel-sandbox-core)

agent_add_test(NAME test-secrets-in-log LABEL model TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_secrets_in_log.cpp
  LIBS varnel-sandbox-core agent-certgen)
