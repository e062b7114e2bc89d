# ambrel_helptext: the command-line help text (plain C++, shown by the about box
# and printed by --help).
add_library(ambrel_helptext STATIC HelpText.cpp)
target_include_directories(ambrel_helptext PUBLIC ${PROJECT_SOURCE_DIR}/src)
set_target_properties(ambrel_helptext PROPERTIES AUTOMOC OFF AUTORCC OFF)

add_executable(ambrel main.cpp)
target_link_libraries(ambrel PRIVATE ambrel_link ambrel_helptext)
install(TARGETS ambrel RUNTIME DESTINATION bin)
