# iLBC encoder and decoder speed, both modes.
ambrel_add_bench(ilbc_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ilbc_codec.cpp
  LIBS ambrel_ilbc)
