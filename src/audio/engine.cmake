# ambrel_audio: audio engine, recorder and players.
add_library(ambrel_audio STATIC
  ${CMAKE_CURRENT_LIST_DIR}/SoundBase.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SoundRecorder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SoundPlayer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Playout.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PlayerSlot.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioEngine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VoiceProcessor.cpp
)
target_include_directories(ambrel_audio PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(ambrel_audio PUBLIC ambrel_codecs ambrel_platform ambrel_base Threads::Threads
  PRIVATE PkgConfig::WEBRTC_AUDIO_PROCESSING)
