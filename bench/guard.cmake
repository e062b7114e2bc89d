# Datagram guard: the cost of sealing and opening one datagram.
ambrel_add_bench(guard_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/guard_seal.cpp LIBS ambrel_link)
target_include_directories(guard_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
