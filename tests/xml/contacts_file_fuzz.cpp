// Fuzz target: the address book's reading of any bytes. Beyond "no crash":
// a document judged whole gives contacts that the writer turns into a
// document that is itself whole and reads back as the same contacts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/ContactsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto contacts = ambrel::contactsFromText(input);
    if (ambrel::contactsTextIsWhole(input)) {
        const std::string text = ambrel::contactsToText(contacts);
        if (!ambrel::contactsTextIsWhole(text)) std::abort();
        if (ambrel::contactsFromText(text) != contacts) std::abort();
    }
    return 0;
}
