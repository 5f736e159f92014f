// Wildcard matching of file names as the Windows file-system runtime does it:
// "*" any run, "?" one character, and the DOS forms "<" (any run up to the
// last dot), ">" (one character, or nothing at a dot or the end) and "\""
// (a dot, or nothing at the end).
#include <vector>

#include "dokan.h"

namespace {

constexpr char16_t DOS_STAR = u'<';
constexpr char16_t DOS_QM = u'>';
constexpr char16_t DOS_DOT = u'"';

char16_t Fold(char16_t c, bool ignoreCase) {
  if (ignoreCase && c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
  return c;
}

struct Matcher {
  std::u16string_view expr, name;
  bool ignoreCase;
  std::vector<signed char> memo;  // -1 unknown, 0 false, 1 true

  bool Match(size_t e, size_t n) {
    signed char& m = memo[e * (name.size() + 1) + n];
    if (m >= 0) return m;
    m = Compute(e, n) ? 1 : 0;
    return m;
  }

  bool Compute(size_t e, size_t n) {
    if (e == expr.size()) return n == name.size();
    char16_t c = expr[e];
    if (c == u'*') {
      for (size_t k = n; k <= name.size(); ++k)
        if (Match(e + 1, k)) return true;
      return false;
    }
    if (c == DOS_STAR) {
      size_t lastDot = name.rfind(u'.');
      size_t limit = (lastDot == std::u16string_view::npos || lastDot < n) ? name.size() : lastDot;
      for (size_t k = n; k <= limit; ++k)
        if (Match(e + 1, k)) return true;
      return false;
    }
    if (c == DOS_QM) {
      if (n == name.size() || name[n] == u'.') return Match(e + 1, n);
      return Match(e + 1, n + 1);
    }
    if (c == DOS_DOT) {
      if (n < name.size() && name[n] == u'.') return Match(e + 1, n + 1);
      return n == name.size() && Match(e + 1, n);
    }
    if (n == name.size()) return false;
    if (c == u'?' || Fold(c, ignoreCase) == Fold(name[n], ignoreCase)) return Match(e + 1, n + 1);
    return false;
  }
};

}  // namespace

bool DokanIsNameInExpression(LPCWSTR expression, LPCWSTR name, bool ignoreCase) {
  if (!expression || !name) return false;
  std::u16string_view e(expression), n(name);
  if (e.empty()) return n.empty();
  Matcher m{e, n, ignoreCase, std::vector<signed char>((e.size() + 1) * (n.size() + 1), -1)};
  return m.Match(0, 0);
}
