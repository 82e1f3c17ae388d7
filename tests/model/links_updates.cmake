# Links and browser launch; self-update.
agent_add_test(NAME test-uri-service LABEL model TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_uri_service.cpp
  LIBS varnel-sandbox-core)
agent_add_test(NAME test-update-service LABEL model TIMEOUT 180
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_update_service.cpp
  LIBS varnel-sandbox-core)
