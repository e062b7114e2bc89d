# Datagram guard: the cost of sealing and opening one datagram.
ambrel_add_bench(guard_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/guard_seal.cpp LIBS ambrel_link)
target_include_directories(guard_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
# How long a call takes to begin, sealed or plain, on loopback or through a relay.
add_executable(guard_call_setup ${CMAKE_CURRENT_SOURCE_DIR}/guard_call_setup.cpp)
target_link_libraries(guard_call_setup PRIVATE ambrel_link)
target_include_directories(guard_call_setup PRIVATE ${PROJECT_SOURCE_DIR}/tests)
