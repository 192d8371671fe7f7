#pragma once

#include <wdm.h>

struct Board;

void parseStreamBlock(Board* board, const UCHAR* block, ULONG length);
