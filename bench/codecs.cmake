# Frames per second of every codec adapter next to the bare library call for
# the same frames.
ambrel_add_bench(codec_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/codec_bench.cpp
  LIBS ambrel_codecs PkgConfig::SPEEX PkgConfig::SPANDSP Gsm::gsm)
target_include_directories(codec_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
