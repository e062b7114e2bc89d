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

# ambrel_ui: the application object, the call controller shared by the window
# and headless mode, the main window and its widgets.
add_library(ambrel_ui STATIC
  AmbrelApp.cpp AmbrelApp.h
  CallController.cpp CallController.h
  FittedLabel.cpp FittedLabel.h
  HeadlessView.cpp HeadlessView.h
  LevelMeter.cpp LevelMeter.h
  Look.cpp Look.h
  MainWindow.cpp MainWindow.h
  MixerFader.cpp MixerFader.h
)
target_include_directories(ambrel_ui PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(ambrel_ui PUBLIC ambrel_settings ambrel_helptext ambrel_audio ambrel_mixer Qt6::Widgets)
if(TARGET PkgConfig::XCB)
  target_link_libraries(ambrel_ui PRIVATE PkgConfig::XCB)
  target_compile_definitions(ambrel_ui PRIVATE AMBREL_HAVE_XCB)
endif()
if(TARGET ambrel_about)
  target_link_libraries(ambrel_ui PUBLIC ambrel_about)
  target_compile_definitions(ambrel_ui PRIVATE AMBREL_HAVE_ABOUT)
endif()
if(TARGET ambrel_contacts)
  target_link_libraries(ambrel_ui PUBLIC ambrel_contacts)
  target_compile_definitions(ambrel_ui PRIVATE AMBREL_HAVE_CONTACTS)
endif()

add_executable(ambrel main.cpp)
target_link_libraries(ambrel PRIVATE ambrel_ui)
install(TARGETS ambrel RUNTIME DESTINATION bin)
install(FILES resources/desktop/ambrel.desktop DESTINATION share/applications)
install(FILES resources/desktop/ambrel.svg DESTINATION share/icons/hicolor/scalable/apps)
