// The extension's user-visible texts in English and Japanese.
#pragma once

#include <string>

namespace shellext {

enum CommandKind { kSendKey = 0, kEmptyTrash = 1, kRestore = 2, kForceDelete = 3 };

// "ja" selects the Japanese texts; any other language the English ones.
const char16_t* menuLabel(CommandKind kind, bool ja);
const char16_t* cautionCaption(bool ja);
// The confirmation text of empty trash and force delete; null for the others.
const char16_t* confirmationText(CommandKind kind, bool ja);

}  // namespace shellext
