# Address book: the file (plain C++) and the dialog (offscreen Qt).
ambrel_add_test(contacts_file_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/contacts_file_test.cpp
  LIBS ambrel_contactsfile
  LABELS contacts)
ambrel_add_test(contacts_dialog_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/contacts_dialog_test.cpp
  LIBS ambrel_contacts Qt6::Test
  LABELS contacts
  ENV QT_QPA_PLATFORM=offscreen)
