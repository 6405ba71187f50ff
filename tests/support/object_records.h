// Sample storage object records and their wire forms, for the object record
// tests and the messages that carry those records. A fill and its wire
// builder take the same seed s; the wire builders follow the record tables
// field by field and append to b.
#ifndef TESTS_SUPPORT_OBJECT_RECORDS_H
#define TESTS_SUPPORT_OBJECT_RECORDS_H

#include <cstdint>

#include "wire.h"
#include "xdr_objects.h"

namespace objwire {

using wire::B;

void fillHandle(ns_ObjHandle_t* h, uint32_t s);
B& handleWire(B& b, uint32_t s);  // 44 bytes

// QUOROID_LEN bytes counting up from first.
void oidBytes(uint8_t* o, uint8_t first);
B& oidWire(B& b, uint8_t first);

void fillTrash(quor_TrashRecord_t* t, uint32_t s, const char* path, const char* name);
B& trashWire(B& b, uint32_t s, const char* path, const char* name);

// The trash record inside has empty strings.
void fillAttrs(quor_Attrs_t* a, uint32_t s);
B& attrsWire(B& b, uint32_t s);  // 592 bytes

}  // namespace objwire

#endif
