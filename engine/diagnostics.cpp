// Module-wide diagnostic state: the last error, debug mode and the one-time
// read of VENDRASK_DEBUG_MODE. Plain statics with constant initial values, so
// there is nothing to construct at load time and nothing to release.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vendrask.hpp"

namespace vendrask {
namespace {

constexpr const char* ACCESS_CODE = "TRACEUP";
constexpr const char* DEBUG_VARIABLE = "VENDRASK_DEBUG_MODE";

const char* lastErrorMessage = nullptr;
bool debugFlag = false;
bool environmentPending = true;

}  // namespace

const char* lastError() { return lastErrorMessage; }

void setLastError(const char* message) { lastErrorMessage = message; }

bool debugMode() { return debugFlag; }

bool firstMeasurePending() { return environmentPending; }

void debugSwitch(const char* text) {
    std::fprintf(stderr, "vendrask: abcdefgh: %s\n", text != nullptr ? text : "[null]");
    if (text == nullptr) return;
    debugFlag = std::strcmp(text, ACCESS_CODE) == 0;
}

void readDebugEnvironment() {
    if (const char* value = std::getenv(DEBUG_VARIABLE)) debugFlag = std::strcmp(value, "ON") == 0;
    environmentPending = false;
}

}  // namespace vendrask
