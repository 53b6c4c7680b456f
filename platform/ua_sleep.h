// Sleep.
#pragma once

#include "platform/hx_export.h"

HXP_EXPORT void UASLEEP_InTeRnAl(unsigned long milliseconds, const char* file, int line);
#define UASLEEP(ms) UASLEEP_InTeRnAl((ms), __FILE__, __LINE__)
