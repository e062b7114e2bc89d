# ambrel_platform: message-loop threads and sound devices (PulseAudio, ALSA, WAV files).
add_library(ambrel_platform STATIC
  ${CMAKE_CURRENT_LIST_DIR}/MessageThread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SoundSystem.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BufferQueue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FileBackend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PulseBackend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AlsaBackend.cpp
)
target_include_directories(ambrel_platform PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(ambrel_platform
  PUBLIC ambrel_base Threads::Threads
  PRIVATE PkgConfig::PULSE PkgConfig::ALSA PkgConfig::SNDFILE PkgConfig::SPEEXDSP)
