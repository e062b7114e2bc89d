# XML document library: parse and write speed on 1 MB documents.
ambrel_add_bench(xml_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/xml_parse.cpp LIBS ambrel_xml)
