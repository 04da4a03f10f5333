#pragma once
// jsoncpp's symbols come from the loading process; keep their declarations visible.
#pragma GCC visibility push(default)
#include <json/json.h>
#pragma GCC visibility pop
