// Output lines and the command line.
#include "ksfauto.h"

#include <cstdio>
#include <cwchar>

namespace ksfauto {

namespace {

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

}  // namespace

// One value on one line: control characters and the backslash escaped.
std::string Escape(const std::wstring& w) {
  std::string out;
  for (wchar_t c : w) {
    switch (c) {
      case L'\\':
        out += "\\\\";
        break;
      case L'\n':
        out += "\\n";
        break;
      case L'\r':
        out += "\\r";
        break;
      case L'\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += Utf8(std::wstring(1, c));
        }
    }
  }
  return out;
}

void Emit(const std::string& line) {
  std::string l = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), l.data(), static_cast<DWORD>(l.size()), &written,
            nullptr);
}

void EmitKv(const char* key, const std::wstring& value) {
  Emit(std::string(key) + "=" + Escape(value));
}

std::string Hex(uintptr_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

int Fail(int code, const std::string& what) {
  Emit("error=" + what);
  return code;
}

// ------------------------------------------------------- command line ------

// The wide command line split by the usual Windows rules (quotes, and
// backslashes before quotes), so titles in any script survive.
std::vector<std::wstring> WideArgs() {
  std::vector<std::wstring> args;
  const wchar_t* p = GetCommandLineW();
  while (*p) {
    while (*p == L' ' || *p == L'\t') ++p;
    if (!*p) break;
    std::wstring arg;
    bool quoted = false;
    while (*p && (quoted || (*p != L' ' && *p != L'\t'))) {
      size_t backslashes = 0;
      while (*p == L'\\') {
        ++backslashes;
        ++p;
      }
      if (*p == L'"') {
        arg.append(backslashes / 2, L'\\');
        if (backslashes % 2) {
          arg += L'"';
        } else if (quoted && p[1] == L'"') {
          arg += L'"';
          ++p;
        } else {
          quoted = !quoted;
        }
        ++p;
      } else {
        arg.append(backslashes, L'\\');
        if (*p) arg += *p++;
      }
    }
    args.push_back(arg);
  }
  return args;
}

bool ParseNumber(const std::wstring& s, long long* out) {
  if (s.empty()) return false;
  wchar_t* end = nullptr;
  long long v = std::wcstoll(s.c_str(), &end, 0);
  if (!end || *end) return false;
  *out = v;
  return true;
}

}  // namespace ksfauto
