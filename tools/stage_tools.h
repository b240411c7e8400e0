// The four tools the program drives, carried inside the executable and
// written into the system folder at start-up.
#pragma once

#include <windows.h>

#include <string>

#include "common/byte_blob.h"

// The payload embedded under this resource id; empty when it is missing.
ByteBlob toolPayload(HMODULE module, int resourceId);

// Creates the file and writes the bytes, exactly and completely. A file that
// could not be written whole is deleted again: a partial tool left behind
// would be kept, and run, by every later start.
bool writeToolFile(const std::string& path, const ByteBlob& payload);

// Writes each tool into the system folder unless something (a file of any
// content, or a folder) already exists at its path. Failures are silent: a
// missing tool shows when it is run.
void stageTools();
