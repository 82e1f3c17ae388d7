# Messages: stream reading, body-to-HTML, push-to-callback latency.
agent_add_bench(NAME bench-message-stream
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_message_stream.cpp LIBS agent-core)
agent_add_bench(NAME bench-message-html
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_message_html.cpp LIBS agent-core)
if(TARGET varnel-sandbox-core)
  agent_add_bench(NAME bench-message-push
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_message_push.cpp LIBS agent-core varnel-sandbox-core)
endif()
if(TARGET varnel-sandbox-core)
  agent_add_bench(NAME bench-stream-recovery
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_stream_recovery.cpp LIBS agent-core varnel-sandbox-core)
endif()
agent_add_bench(NAME bench-message-archive
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_message_archive.cpp LIBS agent-core)
