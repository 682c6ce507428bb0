// S3 save-table closing.
#pragma once
#include "uefi/base.h"

EfiStatus S3SaveLibInit();
void S3SaveLibTeardown();
