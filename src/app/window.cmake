add_executable(ambrel main.cpp)
target_link_libraries(ambrel PRIVATE ambrel_link)
install(TARGETS ambrel RUNTIME DESTINATION bin)
