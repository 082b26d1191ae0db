// The application manifest that pack writes into the stub: only the
// execution level it asks Windows for; and the level a stub's manifest asks for.
#pragma once

#include <string>

enum ExecutionLevel : int {
  ExecutionLevelUnchanged = -1,  // keep the stub's manifest, or its lack of one
  ExecutionLevelNone = 0,        // no manifest
  ExecutionLevelAsInvoker,
  ExecutionLevelHighestAvailable,
  ExecutionLevelRequireAdministrator,
};

// The names of the levels, as --execution-level takes them; -1 when unknown.
int ParseExecutionLevel(const std::string& text);
const char* ExecutionLevelName(int level);
// The level a manifest asks for ("asInvoker", ...), or "" when it names none.
std::string ManifestExecutionLevel(const std::string& manifest);

// The manifest asking for a level above ExecutionLevelNone.
std::string Manifest(int level);
