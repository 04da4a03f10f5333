#pragma once
// Symbols declared here live in the host process; the plug-in imports them.
#define VRT_HOST_API __attribute__((visibility("default")))
