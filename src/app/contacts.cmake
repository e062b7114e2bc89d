# ambrel_contactsfile: reading and writing "contacts.txt" (plain C++, no Qt).
add_library(ambrel_contactsfile STATIC ContactsFile.cpp ContactsFile.h)
target_include_directories(ambrel_contactsfile PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(ambrel_contactsfile PUBLIC ambrel_xml)
set_target_properties(ambrel_contactsfile PROPERTIES AUTOMOC OFF AUTORCC OFF)

# ambrel_contacts: the address book dialog.
add_library(ambrel_contacts STATIC AddressBookDialog.cpp AddressBookDialog.h)
target_include_directories(ambrel_contacts PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(ambrel_contacts PUBLIC ambrel_contactsfile ambrel_xml Qt6::Widgets)
