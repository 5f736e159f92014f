// The calling thread's last error, as the shell layers set it.
#pragma once

#include "windows_types.h"

DWORD GetLastError();
void SetLastError(DWORD error);
