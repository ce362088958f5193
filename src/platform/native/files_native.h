#pragma once
// Test hook of the native file services: the decimal separator that stands for the user's
// number format. Only native tests use it.

#include "platform/files.h"

namespace zol::platform::native {

void SetDecimalSeparator(char separator);

}  // namespace zol::platform::native
