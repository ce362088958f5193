#pragma once
// Test hooks of the native in-memory registry: empty it, and make a root refuse full access the
// way HKEY_LOCAL_MACHINE does for an ordinary user. Only native tests use these.

#include "platform/registry.h"

namespace zol::platform::native {

// Removes every key and value and makes every root writable again.
void ResetRegistry();
// A root that is not writable refuses to open or create any key with full access.
void SetRegistryHiveWritable(RegistryHive hive, bool writable);
// True when the key exists (whatever the root's access).
bool RegistryKeyExists(RegistryHive hive, const std::string& path);

}  // namespace zol::platform::native
