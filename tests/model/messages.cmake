# Messages: the record and its readers, the stream parser, the message service.
agent_add_test(NAME test-message LABEL model TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_message.cpp)
agent_add_test(NAME test-message-stream LABEL model TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_message_stream.cpp)
if(TARGET varnel-sandbox-core)
  agent_add_test(NAME test-message-service LABEL model TIMEOUT 180
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_message_service.cpp
    LIBS varnel-sandbox-core winhttp-test-servers)
endif()
if(TARGET varnel-sandbox-core)
  agent_add_test(NAME test-stream-recovery LABEL model TIMEOUT 240
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_stream_recovery.cpp
    LIBS varnel-sandbox-core)
endif()
agent_add_test(NAME test-notice-text LABEL model TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_notice_text.cpp)
if(TARGET varnel-sandbox-core)
  agent_add_test(NAME test-message-archive LABEL model TIMEOUT 180
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_message_archive.cpp
    LIBS varnel-sandbox-core PkgConfig::SQLITE3)
endif()
