# Voice link: datagrams per second one link sends to N destinations on loopback.
ambrel_add_bench(link_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/link_send.cpp LIBS ambrel_link)
target_include_directories(link_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
