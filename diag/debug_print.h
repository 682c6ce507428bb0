// The logging call and its output channels.
#pragma once
#include "uefi/base.h"

EfiStatus DebugPrintInit();
