# Messages: stream reading, body-to-HTML, push-to-callback latency.
agent_add_bench(NAME bench-message-stream
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_message_stream.cpp LIBS agent-core)
