#include "platform/platform.h"

#include <mutex>
#include <vector>

#include "platform/ptr32.h"

namespace plat {

namespace {
Platform* g_platform = nullptr;
}

Platform& Os() { return *g_platform; }
void SetPlatform(Platform* platform) { g_platform = platform; }

#if !defined(_WIN32)
namespace {
std::mutex g_tokens_mutex;
std::vector<void*>& Tokens() {
  static std::vector<void*> tokens{nullptr};
  return tokens;
}
}  // namespace

PtrField PtrToField(void* pointer) {
  if (pointer == nullptr) return 0;
  std::lock_guard<std::mutex> lock(g_tokens_mutex);
  auto& tokens = Tokens();
  for (size_t i = 1; i < tokens.size(); ++i) {
    if (tokens[i] == pointer) return static_cast<PtrField>(i);
  }
  tokens.push_back(pointer);
  return static_cast<PtrField>(tokens.size() - 1);
}

void* FieldToPtr(PtrField field) {
  std::lock_guard<std::mutex> lock(g_tokens_mutex);
  auto& tokens = Tokens();
  return field < tokens.size() ? tokens[field] : nullptr;
}
#endif

}  // namespace plat
