#include "services/s3_save.h"

// Not built yet: no shared S3 record and no S3 events, so nothing to close.
EfiStatus S3SaveLibInit() { return EFI_UNSUPPORTED; }
void S3SaveLibTeardown() {}
