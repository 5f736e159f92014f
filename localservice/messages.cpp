#include "messages.h"

#include <picojson.h>

namespace ambermoor {

const std::vector<ErrorMessage>& errorMessages() {
  static const std::vector<ErrorMessage> table = {
      {1, "セッションが切断されました。再度ログインしてください。",
       "Your session has ended. Please sign in again."},
      {3, "企業ID、ユーザーIDまたはパスワードが正しくありません。",
       "The corporate ID, user ID or password is incorrect."},
      {8, "不正なパラメータです。({0})", "Invalid argument.({0})"},
      {9, "不明なメソッドです。({0})", "Unknown method.({0})"},
      {50, "ファイル・フォルダが存在しません。({0})", "The file or folder does not exist.({0})"},
      {51, "同名のファイル・フォルダが既に存在します。({0})",
       "A file or folder of the same name already exists.({0})"},
      {52, "フォルダが空ではありません。({0})", "The folder is not empty.({0})"},
      {66, "ファイルは他のユーザーによってロックされています。({0})",
       "The file is locked by another user.({0})"},
      {77, "契約容量を超えるため保存できません。", "Cannot save: the contract capacity would be exceeded."},
      {150, "アクセス権限がありません。({0})", "You have no permission to access this item.({0})"},
      {151, "読み取り専用のため変更できません。({0})", "The item is read-only and cannot be changed.({0})"},
      {152, "このフォルダは変更できません。({0})", "This folder cannot be changed.({0})"},
      {160, "SAML認証を利用できません。(コーポレートID: {0}、理由: {1})",
       "SAML sign-in cannot be used.(corporate ID: {0}, reason: {1})"},
      {999, "ロックされていません。({0})", "The item is not locked.({0})"},
      {1001, "通信エラーが発生しました。({0})", "Communication error has occurred.({0})"},
      {1002, "只今、メンテナンス中のため利用できません。",
       "Cannot be used as the system is in maintenance."},
      {1003, "証明書が正しくありません。", "Incorrect certificate."},
      {1004,
       "ファイル・フォルダの戻し先のパスが存在しないか、戻し先に同名のファイル・フォルダが存在します。"
       "戻したいファイル・フォルダを選択して任意の戻し先に移動してください。",
       "The path where the file/folder is to be returned does not exist, or a file/folder of the "
       "same name already exists in the selected place. Choose the file/folder you want to return "
       "and move it to any other place."},
      {1005,
       "選択したファイル・フォルダは、ＱＷＯから「元に戻す」操作を行うことができません。\r\n"
       "戻したいファイル・フォルダを選択して任意のフォルダに移動してください。\r\n"
       "（補足）\r\n"
       "２０１３年９月２９日のＡｍｂｅｒｍｏｏｒバージョンアップにより、ＱＷＯでもごみ箱を使用できるようになりましたが、\r\n"
       "本バージョンアップ以前にごみ箱に保存されていたファイル・フォルダは、ＱＷＯからの戻し先の情報を保持していません。\r\n"
       "ごみ箱から戻したいファイル・フォルダを選択して任意のフォルダに移動（ドラッグ&ドロップ等）をお願いします。",
       "Selected file(s) or folder(s) cannot undo. Please move them from the trash to a specific "
       "folder manually.\r\n(Note)This is caused by previous version."},
      {5000, "ドライブのマウントに失敗しました。", "The drive could not be mounted."},
  };
  return table;
}

std::string errorMessagesJson() {
  picojson::array arr;
  for (const auto& m : errorMessages()) {
    picojson::object o;
    o["code"] = picojson::value(static_cast<double>(m.code));
    o["ja"] = picojson::value(std::string(m.ja));
    o["en"] = picojson::value(std::string(m.en));
    arr.emplace_back(o);
  }
  return picojson::value(arr).serialize();
}

}  // namespace ambermoor
