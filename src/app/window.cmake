# ambrel_helptext: the command-line help text (plain C++, shown by the about box
# and printed by --help).
add_library(ambrel_helptext STATIC HelpText.cpp)
target_include_directories(ambrel_helptext PUBLIC ${PROJECT_SOURCE_DIR}/src)
set_target_properties(ambrel_helptext PROPERTIES AUTOMOC OFF AUTORCC OFF)

# ambrel_settings: settings record and command line (plain C++).
add_library(ambrel_settings STATIC CommandLine.cpp)
target_include_directories(ambrel_settings PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(ambrel_settings PUBLIC ambrel_link ambrel_codecs ambrel_platform)
set_target_properties(ambrel_settings PROPERTIES AUTOMOC OFF AUTORCC OFF)

add_executable(ambrel main.cpp)
target_link_libraries(ambrel PRIVATE ambrel_link ambrel_helptext)
install(TARGETS ambrel RUNTIME DESTINATION bin)
