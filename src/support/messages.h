// The user messages the component returns to the host, in six languages. A table holds
// one text per language index: 0 English, 1 French, 2 Italian, 3 German, 4 Spanish,
// 5 Japanese.
#pragma once

#include <windows.h>

using MessageTable = const WCHAR *const[6];

extern MessageTable MSG_UNKNOWN_INF_TYPE;
extern MessageTable MSG_OS_NOT_SUPPORTED;
extern MessageTable MSG_NOT_ENOUGH_DISK_SPACE;
extern MessageTable MSG_MARKED_FOR_REMOVAL;
extern MessageTable MSG_NO_SUPPORTED_DEVICES;
extern MessageTable MSG_INSTALL_ERROR;
extern MessageTable MSG_NO_DEVICES_FOUND;
extern MessageTable MSG_DEVICE_INSTALL_FAILED;
extern MessageTable MSG_SHELLEXECUTE_FAILED;

// The languages beside English, in the order of a message table's texts after the English one.
constexpr int kLanguageCount = 5;
extern const WCHAR *const kLanguageCodes[kLanguageCount];  // "fr", "it", "de", "es", "ja"

// "fr", "it", "de", "es", "ja" (without regard to case) give 1 to 5; anything else,
// a missing code included, gives 0.
int LanguageIndex(const WCHAR *languageCode);

// The text at the code's index (the pre-install report).
const WCHAR *LookupMessage(MessageTable &table, const WCHAR *languageCode);

// The Japanese text for "ja" when there is one, else the English text (installation paths).
const WCHAR *LookupMessageWithFallback(MessageTable &table, const WCHAR *languageCode);
