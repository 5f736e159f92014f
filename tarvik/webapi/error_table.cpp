#include "webapi/error_table.h"

#include <cmath>

namespace tarvik {

const std::vector<std::string>& ErrorMessageTable::builtinDocuments() {
  // The messages of the errors the library detects itself. "\\r\\n" is the
  // JSON escape of a line break inside the texts.
  static const std::vector<std::string> documents = {
      u8R"msg({"code":1001, "ja":"通信エラーが発生しました。({0})", "en":"Communication error has occurred.({0})"})msg",
      u8R"msg({"code":1002, "ja":"只今、メンテナンス中のため利用できません。", "en":"Cannot be used as the system is in maintenance."})msg",
      u8R"msg({"code":1003, "ja":"証明書が正しくありません。", "en":"Incorrect certificate."})msg",
      u8R"msg({"code":1004, "ja":"ファイル・フォルダの戻し先のパスが存在しないか、戻し先に同名のファイル・フォルダが存在します。戻したいファイル・フォルダを選択して任意の戻し先に移動してください。", "en":"The path where the file/folder is to be returned does not exist, or a file/folder of the same name already exists in the selected place. Choose the file/folder you want to return and move it to any other place."})msg",
      u8R"msg({"code":1005, "ja":"選択したファイル・フォルダは、ＱＷＯから「元に戻す」操作を行うことができません。\r\n戻したいファイル・フォルダを選択して任意のフォルダに移動してください。\r\n（補足）\r\n２０１３年９月２９日のＡｍｂｅｒｍｏｏｒバージョンアップにより、ＱＷＯでもごみ箱を使用できるようになりましたが、\r\n本バージョンアップ以前にごみ箱に保存されていたファイル・フォルダは、ＱＷＯからの戻し先の情報を保持していません。\r\nごみ箱から戻したいファイル・フォルダを選択して任意のフォルダに移動（ドラッグ&ドロップ等）をお願いします。", "en":"Selected file(s) or folder(s) cannot undo. Please move them from the trash to a specific folder manually.\r\n(Note)This is caused by previous version."})msg",
      u8R"msg({"code":1006, "ja":"{0} を今はアップロードできません。このコンピューターに保存し、サービスにつながりしだいアップロードします。", "en":"{0} could not be uploaded now. It is kept on this computer and will be uploaded when the service can be reached."})msg",
      u8R"msg({"code":1007, "ja":"待機中のファイルはすべてアップロードされました。", "en":"All waiting files are uploaded."})msg",
      u8R"msg({"code":1008, "ja":"{0} は待機中に別の場所で変更されました。こちらの内容は {1} としてアップロードしました。", "en":"{0} was changed elsewhere while it waited. Your version was uploaded as {1}."})msg",
  };
  return documents;
}

std::shared_ptr<ErrorMessageTable> ErrorMessageTable::withBuiltins() {
  auto table = std::make_shared<ErrorMessageTable>();
  for (const std::string& doc : builtinDocuments()) table->insert(json::parse(doc));
  return table;
}

bool ErrorMessageTable::insert(const JsonPtr& message) {
  if (!message) return false;
  JsonPtr code = message->member("code");
  if (!code->isNumber()) return false;
  const double value = code->number();
  // Codes are integers; anything else cannot be looked up and is dropped.
  if (!(value >= -2147483648.0 && value <= 2147483647.0) || std::trunc(value) != value) {
    return false;
  }
  return messages_.emplace(static_cast<int>(value), message).second;
}

JsonPtr ErrorMessageTable::find(int code) const {
  auto it = messages_.find(code);
  return it == messages_.end() ? nullptr : it->second;
}

}  // namespace tarvik
