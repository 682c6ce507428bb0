// The platform configuration database protocol, dynamic tokens by number.
#pragma once
#include "uefi/base.h"

inline constexpr Guid kPcdProtocolGuid = {0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};

struct PcdProtocol {
  void* SetSku;
  uint8_t(EFIAPI* Get8)(uint64_t Token);
  uint16_t(EFIAPI* Get16)(uint64_t Token);
  uint32_t(EFIAPI* Get32)(uint64_t Token);
  uint64_t(EFIAPI* Get64)(uint64_t Token);
  void*(EFIAPI* GetPtr)(uint64_t Token);
  Boolean(EFIAPI* GetBool)(uint64_t Token);
  uint64_t(EFIAPI* GetSize)(uint64_t Token);
  void* Get8Ex;
  void* Get16Ex;
  void* Get32Ex;
  void* Get64Ex;
  void* GetPtrEx;
  void* GetBoolEx;
  void* GetSizeEx;
  EfiStatus(EFIAPI* Set8)(uint64_t Token, uint8_t Value);
  EfiStatus(EFIAPI* Set16)(uint64_t Token, uint16_t Value);
  EfiStatus(EFIAPI* Set32)(uint64_t Token, uint32_t Value);
  EfiStatus(EFIAPI* Set64)(uint64_t Token, uint64_t Value);
  void* SetPtr;
  EfiStatus(EFIAPI* SetBool)(uint64_t Token, Boolean Value);
  void* Set8Ex;
  void* Set16Ex;
  void* Set32Ex;
  void* Set64Ex;
  void* SetPtrEx;
  void* SetBoolEx;
  void* CallbackOnSet;
  void* CancelCallback;
  void* GetNextToken;
  void* GetNextTokenSpace;
};
static_assert(offsetof(PcdProtocol, Get8) == 0x08);
static_assert(offsetof(PcdProtocol, Get16) == 0x10);
static_assert(offsetof(PcdProtocol, Get64) == 0x20);
static_assert(offsetof(PcdProtocol, GetBool) == 0x30);
static_assert(offsetof(PcdProtocol, Set16) == 0x80);
static_assert(offsetof(PcdProtocol, Set64) == 0x90);
static_assert(offsetof(PcdProtocol, SetBool) == 0xA0);
static_assert(sizeof(PcdProtocol) == 0xF8);
