#pragma once
#include <cstddef>
#include <cstdint>

namespace kavex::platform {

// Data built into the module that holds the engine's code: on Windows an RCDATA resource of that
// module (found from an address inside it, so it is engine.dll when the engine is a DLL and the
// program when it is linked in statically); elsewhere the same files compiled into the library.
// The bytes stay valid and unchanged for as long as the module is loaded; nothing is to be freed.
// Thread: any.
bool LoadModuleResource(int id, const uint8_t** data, size_t* size);

}  // namespace kavex::platform
