// Persisted settings: installation-wide defaults in the registry (read on
// demand, never cached) and each board's last capture modes in a settings
// file of its own.
#pragma once

#include <wdm.h>

#include "board/mode_settings.h"

constexpr ULONG SettingsFileSize = 4 * sizeof(ModeSettings); // 336

// Board numbers 0 to 7 have a settings file of their own.
constexpr ULONG BoardsWithFiles = 8;

// LoadConfig / SaveConfig results beside ReadFileToBuffer's.
constexpr LONG ConfigOk = 0;
constexpr LONG ConfigBadIndex = -1;

// ReadFileToBuffer results.
constexpr LONG FileReadOk = 0;
constexpr LONG FileCannotOpen = 1;
constexpr LONG FileTooLarge = 2;
constexpr LONG FileReadFailed = 3;

// WriteBufferToFile / SaveConfig: cannot create (or write) the file.
constexpr LONG FileWriteFailed = 1;

// A REG_DWORD under the service's Parameters key; 0 when absent or unreadable.
ULONG QueryParameter(PCWSTR name);

LONG LoadConfig(ULONG boardNumber, ModeSettings* modes);
LONG SaveConfig(ULONG boardNumber, const ModeSettings* modes);

// Reads a whole file. length: capacity in, file size out.
LONG ReadFileToBuffer(PUNICODE_STRING path, PVOID buffer, PULONG length);
LONG WriteBufferToFile(PUNICODE_STRING path, const void* buffer);

// The method set's "fixed standard" attribute.
void WriteFixedStandard(ULONG value);
