#include "core/meminfo.h"
#include "diag/debug_print.h"
#include "platform/firmware_services.h"
#include "platform/probes.h"
#include "psp/drux.h"
#include "services/heap.h"
#include "services/s3_save.h"

namespace {
constexpr uint32_t kSignatureWithoutDruxStep = 0x00660F00;
constexpr uint8_t kSleepTypeS3 = 3;

bool DruxInfoPresent() {
  DruxInfo* info = nullptr;
  return !EfiError(DruxInfoGet(&info));
}
}  // namespace

const StartupSteps kStartupSteps = {
    S3SaveLibInit,
    HobListLocate,
    HeapListInit,
    DebugPrintInit,
    CpuSignatureMatches,
    GetSleepType,
    VyrCapsuleGetStatus,
    DruxInfoPresent,
    DruxHobInfoInit,
    DriverBody,
    S3SaveLibTeardown,
    HeapListTeardown,
};

EfiStatus RunImageEntry(EfiHandle imageHandle, EfiSystemTable* systemTable, const StartupSteps& steps) {
  FirmwareServicesStore(imageHandle, systemTable);
  steps.S3SaveLibInit();
  steps.HobListLocate();
  steps.HeapListInit();
  steps.DebugPrintInit();

  // Each guard is asked only when the ones before it let the step through.
  bool skip = steps.CpuSignatureMatches(kSignatureWithoutDruxStep) || steps.GetSleepType() == kSleepTypeS3 ||
              steps.CapsulePending() || steps.DruxInfoPresent();
  if (!skip) steps.DruxHobInfoInit();

  EfiStatus status = steps.Body(imageHandle);
  if (EfiError(status)) {
    steps.S3SaveLibTeardown();
    steps.HeapListTeardown();
  }
  return status;
}

extern "C" EfiStatus EFIAPI ImageEntry(EfiHandle imageHandle, EfiSystemTable* systemTable) {
  return RunImageEntry(imageHandle, systemTable, kStartupSteps);
}
