#pragma once

#include <wdm.h>

struct Board;

LONG startAcquisition(Board* board, ULONG channel);
LONG stopAcquisition(Board* board, ULONG channel);
