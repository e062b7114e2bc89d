# Benchmarks of the HTTP client's parsers and the banner list parser.
if(TARGET ambrel_about)
  ambrel_add_bench(bench_http SOURCES ${CMAKE_CURRENT_LIST_DIR}/http_parse.cpp LIBS ambrel_http ambrel_about)
endif()
