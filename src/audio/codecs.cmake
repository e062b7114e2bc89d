# ambrel_codecs: CodecId, the codec table and one adapter per codec.
add_library(ambrel_codecs STATIC
  ${CMAKE_CURRENT_LIST_DIR}/CodecId.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CodecTable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codecs/Pcm16Codec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codecs/DeltaBitCodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codecs/GsmCodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codecs/IlbcCodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codecs/Lpc10Codec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codecs/MulawCodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codecs/OpusCodec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/codecs/SpeexCodec.cpp
)
target_include_directories(ambrel_codecs PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(ambrel_codecs
  PUBLIC ambrel_base
  PRIVATE PkgConfig::SPEEX PkgConfig::SPANDSP PkgConfig::OPUS Gsm::gsm)
target_link_libraries(ambrel_codecs PUBLIC ambrel_ilbc)

# ambrel-codec: runs any codec of the table on files, a frame at a time.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tool/CMakeLists.txt)
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/tool ${CMAKE_CURRENT_BINARY_DIR}/tool)
endif()
