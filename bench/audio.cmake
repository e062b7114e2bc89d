# Audio engine: mouth-to-ear delay of a loopback call per codec, and the CPU
# time of a full-duplex call per minute of call (WAV file devices).
ambrel_add_bench(audio_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_call.cpp
  LIBS ambrel_audio ambrel_link PkgConfig::SNDFILE)
target_include_directories(audio_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)

# The voice-processing stage: CPU time per 10 ms block.
ambrel_add_bench(voice_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/voice_processing.cpp
  LIBS ambrel_audio)
target_include_directories(voice_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
