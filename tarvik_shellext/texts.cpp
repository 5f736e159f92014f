// Menu labels, the caption and the confirmation texts.
#include "texts.h"

namespace shellext {

const char16_t* menuLabel(CommandKind kind, bool ja) {
  switch (kind) {
    case kSendKey: return ja ? u"送付キー発行" : u"Issue a Send key";
    case kEmptyTrash: return ja ? u"ごみ箱を空にする" : u"Empty Trash";
    case kRestore: return ja ? u"元に戻す" : u"Restore";
    case kForceDelete: return ja ? u"完全削除" : u"Force Delete";
  }
  return u"";
}

const char16_t* cautionCaption(bool ja) { return ja ? u"警告" : u"Caution"; }

const char16_t* confirmationText(CommandKind kind, bool ja) {
  if (kind == kEmptyTrash) return ja ? u"ごみ箱を空にします。よろしいですか？" : u"Will empty the trash. OK?";
  if (kind == kForceDelete)
    return ja ? u"選択したファイルを完全削除します。元に戻すことはできません。よろしいですか？"
              : u"Selected files will be permanently deleted. No recovery will be made. OK?";
  return nullptr;
}

}  // namespace shellext
