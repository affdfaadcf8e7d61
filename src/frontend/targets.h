// The one service, driver file and registry key this tool removes.
#pragma once

// The service's key name, not its display name.
constexpr const char* TargetServiceName = "velkor";
// Below the Windows directory; joined to it without a separator, so it brings its own backslash.
constexpr const char* TargetDriverPath = "\\system32\\velkor.sys";
// Below HKEY_LOCAL_MACHINE.
constexpr const char* TargetServiceKey = "SYSTEM\\CurrentControlSet\\Services\\velkor";
