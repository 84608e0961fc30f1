// 8254 counter request checks shared by the three register spacings.
#pragma once

#include "qor_platform.h"

// Validates a set request and forms its control word: counter select, low byte then high
// byte, mode and BCD flag. Writes Status; returns 0 for a rejected request.
extern "C" USHORT QORCALL I8254_GetMode(QorCounterRequest *request);
