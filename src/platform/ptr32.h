// Pointer fields inside the published 32-bit request blocks (ASPI SRBs and the
// pass-through block).
//
// On Windows the field is a real pointer, so the 32-bit build has exactly the
// published layouts.  The native build keeps the same 4-byte width so the tests
// see the bytes a driver would see: the field then holds a small token that
// `PtrToField` hands out and `FieldToPtr` resolves in the same process.
#pragma once

#include <cstdint>

namespace plat {

#if defined(_WIN32)
using PtrField = void*;
inline PtrField PtrToField(void* pointer) { return pointer; }
inline void* FieldToPtr(PtrField field) { return field; }
#else
using PtrField = uint32_t;
// Token 0 is the null pointer; the same pointer always gets the same token.
PtrField PtrToField(void* pointer);
void* FieldToPtr(PtrField field);
#endif

}  // namespace plat
